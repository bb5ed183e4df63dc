// CServiceNotifier: tells the service manager (systemd, for a unit of Type=notify) where the
// server stands: ready once its port listens, stopping at the start of an orderly stop. The
// manager passes its socket in NOTIFY_SOCKET; without it (a server started by hand or by a
// desktop) nothing is sent and nothing fails.
//
// Any thread may call it; each call sends one datagram and keeps no state.
#pragma once

namespace tovi {

class CServiceNotifier {
  public:
    // "READY=1": `systemctl start` returns only now, so a port that cannot be opened makes the
    // start fail instead of reporting a service that does not serve. False when a manager
    // asked for the notice and it could not be sent.
    static bool ready();
    // "STOPPING=1": the stop has begun (clients are being disconnected, held mail flushed).
    static bool stopping();
};

}  // namespace tovi
