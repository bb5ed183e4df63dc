set(TEST_DEPS tovi_client_dialogs tovi_client_dialog_rules tovi_client_settings
    tovi_client_connection tovi_protocol tovi_ui tovi_ui_qt tovi_platform Qt6::Widgets Qt6::Test)
set(TEST_NEEDS_GUI ON)
