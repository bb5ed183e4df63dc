#include "protocol/bs_client_socket.h"

#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace tovi {

CBsClientSocket::~CBsClientSocket() {
    Close();
    std::free(m_readBuffer);
}

int CBsClientSocket::Connect(const char* host, int port) {
    char kept[HOST_FIELD_SIZE] = {};
    std::strncpy(kept, host ? host : "", HOST_FIELD_SIZE - 1);
    if (m_connected) Close();
    if (!m_socket.connect(kept, static_cast<uint16_t>(port))) return 0;
    opened();
    return 1;
}

int CBsClientSocket::Attach(CTcpSocket&& connected) {
    m_socket = std::move(connected);
    opened();
    return 1;
}

void CBsClientSocket::opened() {
    m_inPos = m_inEnd = 0;
    m_outLen = 0;
    m_connected = 1;
}

// One read of the socket into the empty reader, after waiting for readiness at most waitMs
// (-1: no limit). True when bytes came; false on time-out, end of stream or failure.
bool CBsClientSocket::fillReader(int waitMs, bool& endOfStream) {
    endOfStream = false;
    int ready = m_socket.waitReadable(waitMs);
    if (ready < 0) {
        endOfStream = true;
        return false;
    }
    if (ready == 0) return false;
    long n = m_socket.readSome(m_in, STREAM_BUFFER_SIZE);
    if (n > 0) {
        m_inPos = 0;
        m_inEnd = static_cast<size_t>(n);
        return true;
    }
    if (n != CTcpSocket::READ_WOULD_BLOCK) endOfStream = true;
    return false;
}

char* CBsClientSocket::Read(unsigned& count, int timeout) {
    if (!m_connected) return nullptr;
    if (count > MAX_READ_COUNT) return nullptr;

    if (m_readBuffer == nullptr || m_readCapacity < count) {
        char* grown = static_cast<char*>(std::realloc(m_readBuffer, size_t(count) + 1));
        if (grown == nullptr) return nullptr;
        m_readBuffer = grown;
        m_readCapacity = count;
    }
    std::memset(m_readBuffer, 0, count);

    const bool hasDeadline = timeout >= 0;
    const int64_t deadline = monotonicMs() + static_cast<int64_t>(timeout < 0 ? 0 : timeout) * 1000;
    unsigned got = 0;
    while (got < count) {
        if (m_inPos < m_inEnd) {
            size_t take = std::min<size_t>(m_inEnd - m_inPos, count - got);
            std::memcpy(m_readBuffer + got, m_in + m_inPos, take);
            m_inPos += take;
            got += static_cast<unsigned>(take);
            continue;
        }
        int wait = -1;
        if (hasDeadline) {
            int64_t left = deadline - monotonicMs();
            if (left <= 0) break;
            wait = static_cast<int>(left);
        }
        bool endOfStream = false;
        if (!fillReader(wait, endOfStream) && endOfStream) {
            Close();
            return nullptr;
        }
    }
    m_readBuffer[count] = '\0';
    if (!m_connected) return nullptr;
    count = got;
    return m_readBuffer;
}

bool CBsClientSocket::flushWriter() {
    if (m_outLen == 0) return true;
    bool ok = m_socket.writeAll(m_out, m_outLen, WRITE_TIMEOUT_MS);
    m_outLen = 0;
    return ok;
}

int CBsClientSocket::Queue(const void* bytes, unsigned length) {
    if (!m_connected) return 0;
    if (m_outLen + length > STREAM_BUFFER_SIZE) {
        if (!flushWriter()) {
            Close();
            return 0;
        }
        if (length > STREAM_BUFFER_SIZE) {
            if (!m_socket.writeAll(bytes, length, WRITE_TIMEOUT_MS)) {
                Close();
                return 0;
            }
            return 1;
        }
    }
    std::memcpy(m_out + m_outLen, bytes, length);
    m_outLen += length;
    return 1;
}

int CBsClientSocket::Flush() {
    if (!m_connected) return 0;
    if (!flushWriter()) {
        Close();
        return 0;
    }
    return 1;
}

int CBsClientSocket::Write(const void* bytes, unsigned length) {
    if (!m_connected) return 0;
    if (m_outLen > 0 && m_outLen + length <= STREAM_BUFFER_SIZE) {
        std::memcpy(m_out + m_outLen, bytes, length);
        m_outLen += length;
        return Flush();
    }
    if (!flushWriter() || !m_socket.writeAll(bytes, length, WRITE_TIMEOUT_MS)) {
        Close();
        return 0;
    }
    return 1;
}

int CBsClientSocket::HasPending() {
    if (!m_connected) return 0;
    if (m_inPos < m_inEnd) return 1;
    long n = m_socket.readSome(m_in, STREAM_BUFFER_SIZE);
    if (n > 0) {
        m_inPos = 0;
        m_inEnd = static_cast<size_t>(n);
        return 1;
    }
    // The peer closed (or the connection broke): what the close notification does.
    if (n != CTcpSocket::READ_WOULD_BLOCK) Close();
    return 0;
}

int CBsClientSocket::ShutdownSend() {
    if (!Flush()) return 0;
    m_socket.shutdownSend();
    return 1;
}

void CBsClientSocket::Close() {
    if (m_socket.isOpen() && m_connected) m_socket.shutdownSend();
    m_socket.close();
    m_inPos = m_inEnd = 0;
    m_outLen = 0;
    m_connected = 0;
}

void CBsClientSocket::Interrupt() { m_socket.interrupt(); }

}  // namespace tovi
