set(TEST_DEPS tovi_platform)
