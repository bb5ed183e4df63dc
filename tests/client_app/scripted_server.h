// A scripted server on 127.0.0.1 for the client application tests (no connection-layer headers,
// so that windowed tests can include it next to Qt).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "support/test_support.h"

namespace tovi::test {

// A server on 127.0.0.1 that answers each frame it reads with answer(frame) (nothing for an
// empty answer) and records the frames; closeAtOnce: every connection is closed when accepted.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::function<std::string(const std::string&)> answer,
                            bool closeAtOnce = false) {
        m_listener.listen("127.0.0.1", 0, 5);
        m_thread = std::thread([this, answer, closeAtOnce] {
            while (!m_stop.load()) {
                CTcpSocket peer;
                if (m_listener.waitReadable(50) <= 0 || !m_listener.accept(peer)) continue;
                ++m_accepted;
                if (closeAtOnce) continue;
                while (!m_stop.load()) {
                    if (peer.waitReadable(50) <= 0) continue;
                    std::string bytes = readFrame(peer, 2000);
                    if (bytes.empty()) break;
                    {
                        std::lock_guard<std::mutex> hold(m_lock);
                        m_frames.push_back(bytes);
                    }
                    const std::string reply = answer(bytes);
                    if (!reply.empty() && !writeBytes(peer, reply)) break;
                }
            }
        });
    }
    ~ScriptedServer() {
        m_stop.store(true);
        m_thread.join();
    }
    int port() const { return m_listener.localPort(); }
    int accepted() const { return m_accepted.load(); }
    std::vector<std::string> frames() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_frames;
    }
    std::vector<int32_t> types() {
        std::vector<int32_t> out;
        for (const std::string& f : frames()) out.push_back(getInt32(f.data()));
        return out;
    }

  private:
    CTcpSocket m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_lock;
    std::vector<std::string> m_frames;
    std::thread m_thread;
};

// Accepts every log-in, registration and rename.
inline std::string acceptingServer(const std::string& frameBytes) {
    switch (getInt32(frameBytes.data())) {
        case PKT_LOGIN:
            return result(PKT_LOGIN_RESULT, 0);
        case PKT_REGISTER:
        case PKT_RENAME:
            return result(PKT_REGISTER_RESULT, 0);
        default:
            return "";
    }
}

}  // namespace tovi::test
