#include "test_client.h"

#include "platform/clock.h"
#include "protocol/packets.h"

namespace tovi::test {

int32_t Frame::int32At(size_t offset) const {
    return offset + 4 <= body.size() ? getInt32(body.data() + offset) : INT32_MIN;
}

std::string nameField(const std::string& name) {
    std::string f = name.substr(0, NAME_FIELD_SIZE);
    f.resize(NAME_FIELD_SIZE, '\0');
    return f;
}

std::string int32Bytes(int32_t v) {
    char b[4];
    putInt32(b, v);
    return std::string(b, 4);
}

std::string mailBody(int32_t sendType, const std::string& user, const std::string& group,
                     const std::string& sender, const std::string& text, int32_t kind,
                     int32_t token) {
    return int32Bytes(sendType) + nameField(user) + nameField(group) + int32Bytes(kind) +
           nameField(sender) + int32Bytes(token) + text;
}

std::string frameBytes(int32_t type, const std::string& body) {
    return int32Bytes(type) + int32Bytes(static_cast<int32_t>(body.size())) + body;
}

bool CTestClient::connect(int port) {
    m_pending.clear();
    return m_socket.connect("127.0.0.1", static_cast<uint16_t>(port), 5000);
}

bool CTestClient::sendRaw(const std::string& bytes) {
    return m_socket.writeAll(bytes.data(), bytes.size(), 5000);
}

bool CTestClient::sendFrame(int32_t type, const std::string& body) {
    return sendRaw(frameBytes(type, body));
}

bool CTestClient::readExact(char* dst, size_t n, int64_t deadlineMs) {
    size_t got = 0;
    while (got < n) {
        if (!m_pending.empty()) {
            size_t take = std::min(n - got, m_pending.size());
            m_pending.copy(dst + got, take);
            m_pending.erase(0, take);
            got += take;
            continue;
        }
        int64_t left = deadlineMs - monotonicMs();
        if (left <= 0 || m_socket.waitReadable(static_cast<int>(left)) <= 0) break;
        char buf[65536];
        long r = m_socket.readSome(buf, sizeof buf);
        if (r < 0) break;
        m_pending.append(buf, static_cast<size_t>(r > 0 ? r : 0));
    }
    if (got < n) {
        // Keep what came for a later read.
        m_pending.insert(0, dst, got);
        return false;
    }
    return true;
}

bool CTestClient::readFrame(Frame& out, int timeoutMs) {
    const int64_t deadline = monotonicMs() + timeoutMs;
    char head[8];
    if (!readExact(head, 8, deadline)) return false;
    int32_t length = getInt32(head + 4);
    if (length < 0 || length > 1 << 20) return false;
    std::string body(static_cast<size_t>(length), '\0');
    if (!readExact(body.data(), body.size(), deadline)) {
        m_pending.insert(0, head, 8);
        return false;
    }
    out.type = getInt32(head);
    out.body = std::move(body);
    return true;
}

bool CTestClient::expectNothing(int ms) {
    if (!m_pending.empty()) return false;
    return m_socket.waitReadable(ms) == 0;
}

bool CTestClient::waitClosed(int timeoutMs) {
    const int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        int64_t left = deadline - monotonicMs();
        if (left <= 0) return false;
        if (m_socket.waitReadable(static_cast<int>(left)) <= 0) continue;
        char buf[65536];
        long r = m_socket.readSome(buf, sizeof buf);
        if (r == CTcpSocket::READ_END_OF_STREAM || r == CTcpSocket::READ_ERROR) return true;
    }
}

int CTestClient::result(int32_t expectedType, int32_t* failed) {
    Frame f;
    if (!readFrame(f) || f.type != expectedType || f.body.size() != 8) return -1;
    if (failed) *failed = f.int32At(0);
    return f.int32At(4);
}

int CTestClient::login(const std::string& name, int32_t* failed) {
    if (!sendFrame(PKT_LOGIN, nameField(name))) return -1;
    return result(PKT_LOGIN_RESULT, failed);
}

int CTestClient::registerUser(const std::string& name, const std::string& group, int32_t* failed) {
    if (!sendFrame(PKT_REGISTER, nameField(name) + nameField(group))) return -1;
    return result(PKT_REGISTER_RESULT, failed);
}

int CTestClient::rename(const std::string& name, const std::string& group, int32_t* failed) {
    if (!sendFrame(PKT_RENAME, nameField(name) + nameField(group))) return -1;
    return result(PKT_REGISTER_RESULT, failed);
}

int CTestClient::sendMail(const std::string& body, int32_t* failed, Frame* ownDelivery) {
    if (!sendFrame(PKT_MAIL, body)) return -1;
    for (int i = 0; i < 4; ++i) {
        Frame f;
        if (!readFrame(f)) return -1;
        if (f.type == PKT_MAIL) {
            if (ownDelivery) *ownDelivery = f;
            continue;
        }
        if (f.type != PKT_MAIL_RESULT || f.body.size() != 8) return -1;
        if (failed) *failed = f.int32At(0);
        return f.int32At(4);
    }
    return -1;
}

}  // namespace tovi::test
