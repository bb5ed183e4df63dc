#include "fake_server.h"

#include <cstring>

#include "platform/clock.h"
#include "protocol/packets.h"

namespace tovi {

FakeServer::FakeServer(Script script) : m_script(std::move(script)) {
    if (m_listener.listen("127.0.0.1", 0, 5)) m_port = m_listener.localPort();
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

FakeServer::~FakeServer() { stop(); }

void FakeServer::stop() {
    m_stop.store(true);
    if (m_acceptThread.joinable()) m_acceptThread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::thread& t : m_sessions)
        if (t.joinable()) t.join();
    m_sessions.clear();
    m_listener.close();
}

void FakeServer::acceptLoop() {
    while (!m_stop.load()) {
        CTcpSocket peer;
        if (!m_listener.accept(peer)) {
            sleepMs(2);
            continue;
        }
        int index = m_accepted.fetch_add(1);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.emplace_back([this, index, p = std::move(peer)]() mutable {
            m_script(p, index);
            p.close();
        });
    }
}

bool FakeServer::readBytes(CTcpSocket& peer, char* dest, size_t n, int timeoutMs) {
    const int64_t until = monotonicMs() + timeoutMs;
    size_t got = 0;
    while (got < n) {
        int64_t left = until - monotonicMs();
        if (left <= 0 || peer.waitReadable(static_cast<int>(left)) <= 0) return false;
        long r = peer.readSome(dest + got, n - got);
        if (r < 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

bool FakeServer::readFrame(CTcpSocket& peer, Frame& out, int timeoutMs) {
    char header[8];
    if (!readBytes(peer, header, 8, timeoutMs)) return false;
    out.type = getInt32(header);
    int32_t length = getInt32(header + 4);
    if (length < 0 || length > 1 << 20) return false;
    out.body.assign(static_cast<size_t>(length), '\0');
    return length == 0 || readBytes(peer, out.body.data(), out.body.size(), timeoutMs);
}

std::string FakeServer::frameBytes(int32_t type, const std::string& body) {
    std::string bytes(8, '\0');
    putInt32(bytes.data(), type);
    putInt32(bytes.data() + 4, static_cast<int32_t>(body.size()));
    return bytes + body;
}

bool FakeServer::writeFrame(CTcpSocket& peer, int32_t type, const std::string& body) {
    std::string bytes = frameBytes(type, body);
    return peer.writeAll(bytes.data(), bytes.size(), 5000);
}

std::string FakeServer::result(int32_t failed, int32_t reason) {
    std::string body(8, '\0');
    putInt32(body.data(), failed);
    putInt32(body.data() + 4, reason);
    return body;
}

bool FakeServer::waitForClose(CTcpSocket& peer, int timeoutMs) {
    const int64_t until = monotonicMs() + timeoutMs;
    char sink[4096];
    for (;;) {
        int64_t left = until - monotonicMs();
        if (left <= 0) return false;
        int ready = peer.waitReadable(static_cast<int>(left));
        if (ready < 0) return true;
        if (ready == 0) return false;
        long r = peer.readSome(sink, sizeof sink);
        if (r < 0) return true;
    }
}

int closedPort() {
    CTcpSocket probe;
    if (!probe.listen("127.0.0.1", 0, 1)) return 1;
    int port = probe.localPort();
    probe.close();
    return port;
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    const int64_t until = monotonicMs() + timeoutMs;
    for (;;) {
        if (pred()) return true;
        if (monotonicMs() >= until) return false;
        sleepMs(5);
    }
}

}  // namespace tovi
