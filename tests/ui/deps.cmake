set(TEST_DEPS tovi_ui tovi_ui_qt Qt6::Widgets)
set(TEST_NEEDS_GUI ON)
