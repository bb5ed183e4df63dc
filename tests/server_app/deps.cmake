set(TEST_DEPS tovi_server_app_qt tovi_server_app tovi_server_core tovi_protocol tovi_ui_qt tovi_ui
    tovi_platform Qt6::Widgets Qt6::Test)
set(TEST_NEEDS_GUI ON)
