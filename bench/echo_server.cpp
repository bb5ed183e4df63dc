#include "bench/echo_server.h"

namespace tovi {

CEchoServer::~CEchoServer() { stop(); }

bool CEchoServer::open() {
    if (!m_listener.listen("127.0.0.1", 0, 4)) return false;
    m_port = m_listener.localPort();
    return m_port > 0 && start();
}

void CEchoServer::stop() {
    requestAbort();
    join();
    m_peer.close();
    m_listener.close();
}

bool CEchoServer::onIdle() {
    if (aborted()) return false;
    if (!m_peer.isOpen()) {
        // The wait is bounded so that a stop request is seen even when interrupt() raced it.
        if (m_listener.waitReadable(100) < 0) return false;
        m_listener.accept(m_peer);
        return true;
    }
    int ready = m_peer.waitReadable(100);
    if (ready < 0) {
        m_peer.close();
        return !aborted();
    }
    if (ready == 0) return true;
    char buf[65536];
    long n = m_peer.readSome(buf, sizeof buf);
    if (n > 0) {
        if (!m_peer.writeAll(buf, static_cast<size_t>(n), 10000)) m_peer.close();
    } else if (n != CTcpSocket::READ_WOULD_BLOCK) {
        m_peer.close();
    }
    return true;
}

void CEchoServer::onAbort() {
    m_listener.interrupt();
    m_peer.interrupt();
}

}  // namespace tovi
