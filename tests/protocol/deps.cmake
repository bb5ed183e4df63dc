set(TEST_DEPS tovi_protocol)
