// A scripted fake server on 127.0.0.1 for the client worker tests: it accepts connections on a
// free port and runs the test's script for each one on its own thread. Helpers read and write
// whole frames with time limits, so that every script ends by itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp_socket.h"

namespace tovi {

struct Frame {
    int32_t type = 0;
    std::string body;
};

class FakeServer {
  public:
    using Script = std::function<void(CTcpSocket& peer, int index)>;

    explicit FakeServer(Script script);
    ~FakeServer();

    int port() const { return m_port; }
    int accepted() const { return m_accepted.load(); }
    // Ends the accept loop and waits for the scripts (they must end by themselves).
    void stop();

    // Reads one frame within timeoutMs; false on time-out, end of stream or error.
    static bool readFrame(CTcpSocket& peer, Frame& out, int timeoutMs = 5000);
    static bool readBytes(CTcpSocket& peer, char* dest, size_t n, int timeoutMs);
    static bool writeFrame(CTcpSocket& peer, int32_t type, const std::string& body);
    static std::string frameBytes(int32_t type, const std::string& body);
    static std::string result(int32_t failed, int32_t reason);
    // True when the peer closes (or breaks) the connection within timeoutMs.
    static bool waitForClose(CTcpSocket& peer, int timeoutMs);

  private:
    void acceptLoop();

    Script m_script;
    CTcpSocket m_listener;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::vector<std::thread> m_sessions;
};

// A port on 127.0.0.1 where nothing listens (it was free a moment ago).
int closedPort();

// Waits until pred() holds, at most timeoutMs; true when it did.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs);

}  // namespace tovi
