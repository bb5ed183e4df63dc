// A scripted server on 127.0.0.1 for the client tests (no connection-layer headers, so that
// windowed tests can include it next to Qt).
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "support/test_support.h"

namespace tovi::test {

// Serves one connection at a time. It reads up to framesPerConnection frames of a connection,
// records each (before its answer leaves: whoever has the answer finds it) and writes
// answer(frame, n) for the n-th frame of that connection, nothing for an empty answer. Then the
// first hangUps connections are closed; the others are drained until the client closes them.
class ScriptedServer {
  public:
    using Answer = std::function<std::string(const std::string& frame, size_t n)>;
    ScriptedServer(Answer answer, size_t framesPerConnection, int hangUps) {
        m_listener.listen("127.0.0.1", 0, 5);
        m_thread = std::thread([this, answer, framesPerConnection, hangUps] {
            while (!m_stop.load()) {
                CTcpSocket peer;
                if (m_listener.waitReadable(50) <= 0 || !m_listener.accept(peer)) continue;
                const bool hangUp = m_accepted++ < hangUps;
                bool open = true;
                for (size_t n = 0; open && n < framesPerConnection && !m_stop.load();) {
                    const int ready = peer.waitReadable(50);
                    if (ready == 0) continue;
                    const std::string bytes = ready > 0 ? readFrame(peer, 2000) : "";
                    if (bytes.empty()) break;
                    {
                        std::lock_guard<std::mutex> hold(m_lock);
                        m_frames.push_back(bytes);
                    }
                    const std::string reply = answer(bytes, n++);
                    open = reply.empty() || writeBytes(peer, reply);
                }
                char sink[4096];
                for (int ready = 0; open && !hangUp && !m_stop.load() && ready >= 0;)
                    if ((ready = peer.waitReadable(50)) > 0 && peer.readSome(sink, sizeof sink) < 0)
                        break;
            }
        });
    }
    // Answers every frame with answer(frame); closeAtOnce: every connection is closed when
    // accepted.
    explicit ScriptedServer(std::function<std::string(const std::string&)> answer,
                            bool closeAtOnce = false)
        : ScriptedServer([answer](const std::string& f, size_t) { return answer(f); },
                         closeAtOnce ? 0 : SIZE_MAX, closeAtOnce ? INT_MAX : 0) {}
    // Answers the n-th frame of each connection with replies[n], then holds the connection until
    // the client closes it, save the first connection when hangUpFirst.
    explicit ScriptedServer(std::vector<std::string> replies, bool hangUpFirst = false)
        : ScriptedServer([replies](const std::string&, size_t n) { return replies[n]; },
                         replies.size(), hangUpFirst ? 1 : 0) {}
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
    // The i-th frame read, over all connections ("" when there is none yet).
    std::string got(size_t i) {
        const std::vector<std::string> all = frames();
        return i < all.size() ? all[i] : "";
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

// The Tovic.ini of a client of the server on port of 127.0.0.1, under name and group, with its
// mail directory.
inline std::string clientIni(int port, const std::string& name, const std::string& group,
                             const std::string& mailDir) {
    return "[SERVER]\nPORT=" + std::to_string(port) + "\nADDRESS=127.0.0.1\n[USER]\nNAME=" + name +
           "\nGROUP=" + group + "\nDIR=" + mailDir + "\n";
}

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
