set(TEST_DEPS tovi_client_app tovi_client_app_core tovi_client_dialogs tovi_ui_qt Qt6::Widgets
  Qt6::Test)
set(TEST_NEEDS_GUI ON)
