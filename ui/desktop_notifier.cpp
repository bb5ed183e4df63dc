#include "ui/desktop_notifier.h"

namespace tovi {

namespace {

class CSilentNotifier : public CDesktopNotifier {
  public:
    void notify(const DesktopNote&) override {}
};

CSilentNotifier g_silent;
CDesktopNotifier* g_current = nullptr;

}  // namespace

void setDesktopNotifier(CDesktopNotifier* notifier) { g_current = notifier; }

CDesktopNotifier& desktopNotifier() { return g_current != nullptr ? *g_current : g_silent; }

}  // namespace tovi
