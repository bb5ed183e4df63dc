#include "ui/scripted_desktop_notifier.h"

namespace tovi {

CScriptedDesktopNotifier::CScriptedDesktopNotifier() { setDesktopNotifier(this); }

CScriptedDesktopNotifier::~CScriptedDesktopNotifier() { setDesktopNotifier(nullptr); }

}  // namespace tovi
