// CEchoServer: the baseline peer: a thread that listens on 127.0.0.1 (a free port), accepts one
// connection at a time and writes back every byte it reads, as soon as it reads it.
//
// start() and stop() on the owner's thread; the echo runs on its own thread.
#pragma once

#include "platform/tcp_socket.h"
#include "platform/worker_thread.h"

namespace tovi {

class CEchoServer : public CWorkerThread {
  public:
    CEchoServer() = default;
    ~CEchoServer() override;

    // Opens the listener and starts the thread; false when either fails.
    bool open();
    int port() const { return m_port; }
    // Ends the thread (interrupting a blocked wait) and closes the sockets.
    void stop();

  protected:
    bool onIdle() override;
    void onAbort() override;

  private:
    CTcpSocket m_listener;
    CTcpSocket m_peer;
    int m_port = 0;
};

}  // namespace tovi
