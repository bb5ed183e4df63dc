#include "bench/raw_client.h"

#include <string>

#include "protocol/packets.h"

namespace tovi {

bool CRawClient::connect(int port) { return m_socket.Connect("127.0.0.1", port) == 1; }

int CRawClient::login(const char* name) {
    char body[LOGIN_BODY_SIZE];
    size_t n = buildLogin(body, name);
    if (!sendPacket(PKT_LOGIN, body, n)) return -1;
    int32_t failed = 0, reason = 0;
    if (!readResult(PKT_LOGIN_RESULT, failed, reason, 20)) return -1;
    if (failed == 0) return reason == 0 ? 0 : -1;
    return reason;
}

bool CRawClient::registerNew(const char* name, const char* group, std::string& error) {
    int reason = login(name);
    if (reason != LOGIN_UNKNOWN_NAME) {
        error = std::string("log-in of the new user ") + name + " answered " +
                (reason < 0 ? std::string("nothing usable") : "reason " + std::to_string(reason)) +
                " (expected 48,1,2)";
        return false;
    }
    char body[REGISTER_BODY_SIZE];
    size_t n = buildRegister(body, name, group);
    int32_t failed = 0, result = 0;
    if (!sendPacket(PKT_REGISTER, body, n) ||
        !readResult(PKT_REGISTER_RESULT, failed, result, 20)) {
        error = std::string("registration of ") + name + " got no result";
        return false;
    }
    if (failed != 0 || result != 0) {
        error = std::string("registration of ") + name + " answered (54," + std::to_string(failed) +
                "," + std::to_string(result) + ")";
        return false;
    }
    return true;
}

bool CRawClient::sendPacket(int32_t type, const char* body, size_t length) {
    return queuePacket(type, body, length) && flush();
}

bool CRawClient::queuePacket(int32_t type, const char* body, size_t length) {
    char header[FRAME_HEADER_SIZE];
    putFrameHeader(header, type, static_cast<int32_t>(length));
    if (!m_socket.Queue(header, sizeof header)) return false;
    return length == 0 || m_socket.Queue(body, static_cast<unsigned>(length));
}

bool CRawClient::flush() { return m_socket.Flush() == 1; }

bool CRawClient::readPacket(int32_t& type, const char*& body, uint32_t& length,
                            int timeoutSeconds) {
    unsigned count = 8;
    const char* got = m_socket.Read(count, timeoutSeconds);
    if (got == nullptr || count != 8) return false;
    std::copy(got, got + 8, m_header);
    type = getInt32(m_header);
    int32_t len = getInt32(m_header + 4);
    if (len < 0 || len > static_cast<int32_t>(PACKET_BUFFER_SIZE)) return false;
    count = static_cast<unsigned>(len);
    static const char empty[1] = {0};
    if (count == 0) {
        body = empty;
        length = 0;
        return true;
    }
    got = m_socket.Read(count, timeoutSeconds);
    if (got == nullptr || count != static_cast<unsigned>(len)) return false;
    body = got;
    length = count;
    return true;
}

bool CRawClient::readResult(int32_t expectedType, int32_t& failed, int32_t& reason,
                            int timeoutSeconds) {
    int32_t type = 0;
    const char* body = nullptr;
    uint32_t length = 0;
    if (!readPacket(type, body, length, timeoutSeconds)) return false;
    ResultBody result;
    if (type != expectedType || !parseResult(body, length, result)) return false;
    failed = result.failed;
    reason = result.reason;
    return true;
}

bool CRawClient::headerWaiting() const {
    int inSocket = m_socket.socketBytesAvailable();
    return m_socket.bufferedBytes() + size_t(inSocket > 0 ? inSocket : 0) >= FRAME_HEADER_SIZE;
}

}  // namespace tovi
