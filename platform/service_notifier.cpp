#include "platform/service_notifier.h"

#include <systemd/sd-daemon.h>

namespace tovi {

namespace {

// sd_notify: 0 when no manager listens (no NOTIFY_SOCKET), above 0 when sent, below 0 on error.
bool send(const char* state) { return sd_notify(0, state) >= 0; }

}  // namespace

bool CServiceNotifier::ready() { return send("READY=1"); }

bool CServiceNotifier::stopping() { return send("STOPPING=1"); }

}  // namespace tovi
