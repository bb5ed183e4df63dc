#include "client/connection/cc_rs_data.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"

namespace tovi {

std::atomic<int32_t> CcRsData::s_lastConnectFailure{0};
std::atomic<int> CcRsData::s_connectFailures{0};

namespace {

// How long an idle pass waits for activity at most, connected and not. The waits end early on
// any activity; the limits only bound how late a time-based step (the next connection attempt)
// can come.
constexpr int IDLE_WAIT_CONNECTED_MS = 1000;
constexpr int IDLE_WAIT_DISCONNECTED_MS = 200;
// Waiting for the inbound slot to empty: a slot change or the forced end wakes the wait.
constexpr int SLOT_WAIT_MS = 1000;
// The forced end waits at most this long for the thread, interrupting again in between (an
// interrupt that lands just before a connection attempt begins is cleared by it).
constexpr int END_WAIT_STEP_MS = 50;
constexpr int END_WAIT_STEPS = 200;

}  // namespace

CcRsData::~CcRsData() {
    if (isRunning()) {
        requestAbort();
        for (int i = 0; i < END_WAIT_STEPS && !join(END_WAIT_STEP_MS); ++i) onAbort();
    }
    join();
}

void CcRsData::resetProcessStateForTests() {
    s_lastConnectFailure.store(0);
    s_connectFailures.store(0);
}

void CcRsData::endAtOnce(CPacketMailbox& statusView) {
    m_mailbox.revoke();
    requestAbort();
    statusView.setStatus(ST_STOPPED);
    statusView.setDeadline(0);
    for (int i = 0; i < END_WAIT_STEPS && !join(END_WAIT_STEP_MS); ++i) onAbort();
}

void CcRsData::onAbort() {
    if (CBsClientSocket* connection = m_interruptTarget.load()) connection->Interrupt();
    m_slotSignal.raise();
}

void CcRsData::exitInstance() { m_mailbox.unwatch(&m_slotSignal); }

void CcRsData::onMessage(const ThreadMessage& message) {
    if (finished()) return;
    if (message.id == WM_WORKER_START && message.wparam != 0) {
        begin(*reinterpret_cast<const WorkerStartParam*>(message.wparam));
    } else if (message.id == WM_WORKER_STOP) {
        stop();
    }
}

void CcRsData::begin(const WorkerStartParam& param) {
    m_mailbox.bind(param.lock, param.slots, param.status);
    m_mailbox.watch(&m_slotSignal);
    m_port = static_cast<uint16_t>(param.port & 0xffff);
    m_connection = param.connection;
    m_interruptTarget.store(param.connection);
    std::strncpy(m_serverAddress, param.serverAddress ? param.serverAddress : "",
                 sizeof m_serverAddress - 1);
    std::strncpy(m_userName, param.userName ? param.userName : "", NAME_FIELD_SIZE);
    std::strncpy(m_groupName, param.groupName ? param.groupName : "", NAME_FIELD_SIZE);
    m_newRegistration = param.newRegistration ? 1 : 0;
    m_active = m_connection != nullptr ? 1 : 0;
    // Every worker begins without a connection.
    if (m_connection != nullptr) m_connection->Close();
}

void CcRsData::stop() {
    m_active = 0;
    m_mailbox.setStatus(ST_STOPPED);
    if (m_connection != nullptr) m_connection->Close();
    m_finished = true;
    quit(0);
}

void CcRsData::endWith(int code) {
    m_finished = true;
    // After a forced end the mailbox belongs to the main window and the next worker.
    if (!aborted()) {
        m_mailbox.setStatus(code);
        m_connection->Close();
        if (m_mailbox.isBound()) m_mailbox.clearSlots();
    }
    quit(code);
}

bool CcRsData::onIdle() {
    if (finished() || !m_active) return false;
    // Drained before the slots are looked at: a change after the look raises it again.
    m_slotSignal.drain();
    if (!m_connection->isConnected()) {
        int32_t now = nowSeconds();
        if (now > s_lastConnectFailure.load() + RECONNECT_SPACING_SECONDS) {
            int result = connectAndLogIn();
            if (result < 0 || finished()) return false;
            if (result == 0) {
                s_lastConnectFailure.store(nowSeconds());
                return true;
            }
            s_lastConnectFailure.store(0);
        }
    }
    receiveInbound();
    if (finished()) return false;
    sendOutbound();
    if (finished()) return false;
    if (!m_connection->isConnected())
        waitForWork(IDLE_WAIT_DISCONNECTED_MS);
    else if (m_connection->bufferedBytes() == 0)
        waitForWork(IDLE_WAIT_CONNECTED_MS);
    return true;
}

void CcRsData::waitForWork(int timeoutMs) {
    const int fds[3] = {wakeFd(), m_connection->isAttached() ? m_connection->fd() : -1,
                        m_slotSignal.fd()};
    waitForActivity(fds, 3, timeoutMs);
}

int CcRsData::connectAndLogIn() {
    m_mailbox.setStatus(ST_CONNECTING);
    if (m_connection->Connect(m_serverAddress, m_port)) {
        if (finished()) return -1;
        size_t length = buildLogin(m_requestBuffer, m_userName);
        if (!sendRequest(PKT_LOGIN, m_requestBuffer, length)) return -1;
        ResultBody login;
        if (!receiveReply(PKT_LOGIN_RESULT, REPLY_WAIT_SECONDS, login)) return -1;
        if (login.reason == LOGIN_ALREADY_CONNECTED) {
            endWith(ST_ALREADY_CONNECTED);
            return -1;
        }
        if (login.reason == LOGIN_BAD_HANDSHAKE) {
            endWith(ST_PROTOCOL_ERROR);
            return -1;
        }
        if (m_newRegistration || login.failed != 0) {
            length = buildRegister(m_requestBuffer, m_userName, m_groupName);
            if (!sendRequest(PKT_REGISTER, m_requestBuffer, length)) return -1;
            ResultBody registration;
            if (!receiveReply(PKT_REGISTER_RESULT, REPLY_WAIT_SECONDS, registration)) return -1;
            if (registration.failed != 0) {
                endWith(registration.reason == REGISTER_NAME_TAKEN ? ST_NAME_TAKEN
                                                                   : ST_REGISTER_FAILED);
                return -1;
            }
        }
        m_mailbox.setStatus(ST_CONNECTED);
        m_logIns.fetch_add(1);
        return 1;
    }
    if (finished()) return -1;
    // The third failure since the last reported one is reported; a success in between does
    // not reset the count.
    if (s_connectFailures.load() <= 1) {
        s_connectFailures.fetch_add(1);
        return 0;
    }
    s_connectFailures.store(0);
    endWith(ST_CONNECT_FAILED);
    return -1;
}

bool CcRsData::sendRequest(int32_t type, const char* body, size_t length) {
    char header[FRAME_HEADER_SIZE];
    putFrameHeader(header, type, static_cast<int32_t>(length));
    // The pieces leave in one send; the byte stream is the same as three writes.
    if (!m_connection->Queue(header, sizeof header) ||
        !m_connection->Queue(body, static_cast<unsigned>(length)) || !m_connection->Flush() ||
        finished()) {
        endWith(ST_SEND_FAILED);
        return false;
    }
    return true;
}

bool CcRsData::readExact(char* dest, unsigned count, int timeoutSeconds) {
    unsigned got = count;
    const char* bytes = m_connection->Read(got, timeoutSeconds);
    // A read cut short by its deadline is as lost as a failed one: the stream is out of step.
    if (bytes == nullptr || got != count || finished()) return false;
    std::memcpy(dest, bytes, count);
    return true;
}

bool CcRsData::skipBytes(int64_t count, int timeoutSeconds) {
    char chunk[CBsClientSocket::STREAM_BUFFER_SIZE];
    while (count > 0) {
        unsigned take = static_cast<unsigned>(std::min<int64_t>(count, sizeof chunk));
        if (!readExact(chunk, take, timeoutSeconds)) return false;
        count -= take;
    }
    return true;
}

bool CcRsData::receiveReply(int32_t expectedType, int waitSeconds, ResultBody& result) {
    m_mailbox.setDeadline(nowSeconds() + 2 * waitSeconds);
    if (!m_connection->HasPending()) {
        const int64_t until = monotonicMs() + static_cast<int64_t>(waitSeconds) * 1000;
        bool pending = false;
        for (;;) {
            if (finished()) return false;
            // The server closed the connection: no answer can come any more.
            if (!m_connection->isAttached()) {
                endWith(ST_RECV_FAILED);
                return false;
            }
            int64_t left = until - monotonicMs();
            if (left <= 0) break;
            const int fd = m_connection->fd();
            waitForActivity(&fd, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
            if (m_connection->HasPending()) {
                pending = true;
                break;
            }
        }
        if (!pending) {
            endWith(ST_TIMEOUT);
            return false;
        }
    }
    char header[FRAME_HEADER_SIZE];
    if (!readExact(header, 4, waitSeconds)) {
        endWith(ST_RECV_FAILED);
        return false;
    }
    if (expectedType != 0 && getInt32(header) != expectedType) {
        endWith(ST_PROTOCOL_ERROR);
        return false;
    }
    if (!readExact(header + 4, 4, waitSeconds)) {
        endWith(ST_RECV_FAILED);
        return false;
    }
    const int32_t length = getInt32(header + 4);
    if (length < 0 || length > MAX_SANE_LENGTH) {
        endWith(ST_RECV_FAILED);
        return false;
    }
    bool read = length <= static_cast<int32_t>(sizeof m_packet)
                    ? readExact(m_packet, static_cast<unsigned>(length), waitSeconds)
                    : skipBytes(length, waitSeconds);
    if (!read) {
        endWith(ST_RECV_FAILED);
        return false;
    }
    if (!parseResult(m_packet, static_cast<size_t>(length), result)) {
        endWith(ST_PROTOCOL_ERROR);
        return false;
    }
    m_mailbox.setDeadline(0);
    return true;
}

void CcRsData::receiveInbound() {
    if (!m_connection->HasPending()) return;
    m_mailbox.setDeadline(nowSeconds() + INBOUND_DEADLINE_SECONDS);
    if (!readExact(m_packet, 4, PIECE_WAIT_SECONDS) ||
        !readExact(m_packet + 4, 4, PIECE_WAIT_SECONDS)) {
        endWith(ST_RECV_FAILED);
        return;
    }
    const int32_t length = getInt32(m_packet + 4);
    if (length < 0 || length > MAX_SANE_LENGTH) {
        endWith(ST_RECV_FAILED);
        return;
    }
    if (length > static_cast<int32_t>(MAILBOX_MAX_BODY)) {
        // Too big for slot 0 (the server never sends one): read past it, keep the connection.
        if (!skipBytes(length, PIECE_WAIT_SECONDS)) {
            endWith(ST_RECV_FAILED);
            return;
        }
        m_mailbox.setDeadline(0);
        return;
    }
    if (!readExact(m_packet + 8, static_cast<unsigned>(length), PIECE_WAIT_SECONDS)) {
        endWith(ST_RECV_FAILED);
        return;
    }
    // Slot 0 holds one packet: wait here, doing nothing else, until it has been emptied.
    const unsigned total = 8 + static_cast<unsigned>(length);
    for (;;) {
        m_slotSignal.drain();
        if (m_mailbox.putSlot(total, m_packet, SLOT_INBOUND) == total) break;
        if (finished()) return;
        const int fd = m_slotSignal.fd();
        waitForActivity(&fd, 1, SLOT_WAIT_MS);
        if (finished()) return;
    }
    m_mailbox.setDeadline(0);
}

void CcRsData::sendOutbound() {
    const unsigned length = m_mailbox.peekSlot(m_outbound, SLOT_OUTBOUND);
    if (length == 0) return;
    // With no open connection the Write fails too: a request is never taken for sent.
    if (!m_connection->Write(m_outbound, length) || finished()) {
        endWith(ST_SEND_FAILED);
        return;
    }
    m_mailbox.putSlot(0, nullptr, SLOT_OUTBOUND);
}

}  // namespace tovi
