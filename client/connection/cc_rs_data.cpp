#include "client/connection/cc_rs_data.h"

#include <sys/socket.h>

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
// Waiting for the inbound slot to empty: a slot change or the stop wakes the wait.
constexpr int SLOT_WAIT_MS = 1000;
// A connection attempt (look-up included) gives up after this long.
constexpr int CONNECT_TIMEOUT_MS = 20000;
// The forced end waits at most this long for the thread; every step of it ends at the stop, so
// the thread is normally gone within milliseconds.
constexpr int END_WAIT_MS = 3000;

}  // namespace

CcRsData::~CcRsData() {
    if (isRunning()) requestAbort();
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
    join(END_WAIT_MS);
}

void CcRsData::onAbort() {
    // Raised once and never drained: every later wait of this worker ends at once.
    m_cancel.raise();
    m_slotSignal.raise();
    std::lock_guard<std::mutex> hold(m_connectionLock);
    m_connection.Interrupt();
}

void CcRsData::exitInstance() {
    m_mailbox.unwatch(&m_slotSignal);
    closeConnection();
}

void CcRsData::onMessage(const ThreadMessage& message) {
    if (finished()) return;
    if (message.id == WM_WORKER_START && message.wparam != 0) {
        begin(*reinterpret_cast<const WorkerStartParam*>(message.wparam));
    } else if (message.id == WM_WORKER_STOP) {
        stop();
    }
}

void CcRsData::begin(const WorkerStartParam& param) {
    m_mailbox.bind(param.lock, param.mailSlots, param.status);
    m_mailbox.watch(&m_slotSignal);
    m_port = static_cast<uint16_t>(param.port & 0xffff);
    std::strncpy(m_serverAddress, param.serverAddress ? param.serverAddress : "",
                 sizeof m_serverAddress - 1);
    std::strncpy(m_userName, param.userName ? param.userName : "", NAME_FIELD_SIZE);
    std::strncpy(m_groupName, param.groupName ? param.groupName : "", NAME_FIELD_SIZE);
    m_newRegistration = param.newRegistration ? 1 : 0;
    m_unsaved = param.unsaved;
    m_active = 1;
}

void CcRsData::stop() {
    m_active = 0;
    drainAtStop();
    m_mailbox.setStatus(ST_STOPPED);
    m_mailbox.setDeadline(0);
    closeConnection();
    m_finished = true;
    quit(0);
}

void CcRsData::drainAtStop() {
    if (!m_connection.isConnected() || aborted()) return;
    // The server answers the end of our stream by writing what it decided and closing in order.
    ::shutdown(m_connection.fd(), SHUT_WR);
    const int64_t until = monotonicMs() + EXIT_DRAIN_MS;
    for (;;) {
        const int64_t left = until - monotonicMs();
        if (left <= 0 || aborted()) return;
        if (m_connection.bufferedBytes() == 0) {
            const int fds[2] = {m_connection.fd(), m_cancel.fd()};
            waitForActivity(fds, 2, static_cast<int>(left));
            if (aborted()) return;
        }
        // False also when the server has closed: everything it sent has been read.
        if (!m_connection.HasPending()) {
            if (!m_connection.isConnected()) return;
            continue;
        }
        const int seconds = static_cast<int>((left + 999) / 1000);
        unsigned got = FRAME_HEADER_SIZE;
        const char* head = m_connection.Read(got, seconds);
        if (head == nullptr || got != FRAME_HEADER_SIZE) return;
        std::memcpy(m_packet, head, FRAME_HEADER_SIZE);
        const int32_t type = getInt32(m_packet);
        const int32_t length = getInt32(m_packet + 4);
        if (length < 0 || length > static_cast<int32_t>(MAILBOX_MAX_BODY)) return;
        if (length > 0 &&
            !readExact(m_packet + FRAME_HEADER_SIZE, static_cast<unsigned>(length), seconds))
            return;
        // Only deliveries matter now: the window takes no more answers.
        if (type != PKT_MAIL) continue;
        KeptMail mail;
        int32_t kind = MAIL_MESSAGE;
        if (m_unsaved != nullptr &&
            KeptMail::fromDelivery(m_packet + FRAME_HEADER_SIZE, static_cast<size_t>(length), mail,
                                   kind) &&
            kind != MAIL_READ_NOTICE) {
            m_unsaved->add(std::move(mail), EXIT_DRAIN_KEPT);
        } else if (!deliverBefore(length, until)) {
            return;
        }
    }
}

bool CcRsData::deliverBefore(int32_t length, int64_t until) {
    const unsigned total = FRAME_HEADER_SIZE + static_cast<unsigned>(length);
    for (;;) {
        m_slotSignal.drain();
        // An answer nobody will take any more would hold the slot: it gives way.
        if (m_mailbox.peekSlot(m_requestBuffer, SLOT_INBOUND) >= 4 &&
            getInt32(m_requestBuffer) != PKT_MAIL)
            m_mailbox.putSlot(0, nullptr, SLOT_INBOUND);
        if (m_mailbox.putSlot(total, m_packet, SLOT_INBOUND) == total) return true;
        const int64_t left = until - monotonicMs();
        if (left <= 0 || aborted()) return false;
        const int fds[2] = {m_slotSignal.fd(), m_cancel.fd()};
        waitForActivity(fds, 2, static_cast<int>(std::min<int64_t>(left, SLOT_WAIT_MS)));
    }
}

void CcRsData::endWith(int code) {
    m_finished = true;
    closeConnection();
    // After a forced end the mailbox belongs to the main window and the next worker.
    if (!aborted()) {
        m_mailbox.setStatus(code);
        m_mailbox.setDeadline(0);
        // A request not sent is given up; a packet read whole and waiting in slot 0 (a
        // delivery, an answer) stays for whoever takes it after the reconnection.
        if (m_mailbox.isBound()) m_mailbox.putSlot(0, nullptr, SLOT_OUTBOUND);
    }
    quit(code);
}

bool CcRsData::openConnection() {
    CTcpSocket socket;
    const bool made =
        socket.connectCancellable(m_serverAddress, m_port, CONNECT_TIMEOUT_MS, m_cancel.fd());
    std::lock_guard<std::mutex> hold(m_connectionLock);
    // A stop that came meanwhile found no connection to interrupt: this one is never used.
    if (!made || aborted()) return false;
    m_connection.Attach(std::move(socket));
    m_connectedFlag.store(true);
    return true;
}

void CcRsData::closeConnection() {
    std::lock_guard<std::mutex> hold(m_connectionLock);
    m_connection.Close();
    m_connectedFlag.store(false);
}

bool CcRsData::onIdle() {
    if (finished() || !m_active) return false;
    // Drained before the slots are looked at: a change after the look raises it again.
    m_slotSignal.drain();
    if (!m_connection.isConnected()) {
        m_connectedFlag.store(false);
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
    if (!m_connection.isConnected())
        waitForWork(IDLE_WAIT_DISCONNECTED_MS);
    else if (m_connection.bufferedBytes() == 0)
        waitForWork(IDLE_WAIT_CONNECTED_MS);
    return true;
}

void CcRsData::waitForWork(int timeoutMs) {
    const int fds[4] = {wakeFd(), m_connection.isConnected() ? m_connection.fd() : -1,
                        m_slotSignal.fd(), m_cancel.fd()};
    waitForActivity(fds, 4, timeoutMs);
}

int CcRsData::connectAndLogIn() {
    m_mailbox.setStatus(ST_CONNECTING);
    if (openConnection()) {
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
            // Registered: a later connection of this worker (after the server restarted, say)
            // only logs in; registering the name again would be refused as taken.
            m_newRegistration = 0;
        }
        m_mailbox.setStatus(ST_CONNECTED);
        m_logIns.fetch_add(1);
        return 1;
    }
    // A stopped worker counts nothing: the process-wide counts belong to the next worker.
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
    if (!m_connection.Queue(header, sizeof header) ||
        !m_connection.Queue(body, static_cast<unsigned>(length)) || !m_connection.Flush() ||
        finished()) {
        endWith(ST_SEND_FAILED);
        return false;
    }
    return true;
}

bool CcRsData::readExact(char* dest, unsigned count, int timeoutSeconds) {
    unsigned got = count;
    const char* bytes = m_connection.Read(got, timeoutSeconds);
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
    for (;;) {
        m_mailbox.setDeadline(nowSeconds() + 2 * waitSeconds);
        if (!m_connection.HasPending()) {
            const int64_t until = monotonicMs() + static_cast<int64_t>(waitSeconds) * 1000;
            bool pending = false;
            for (;;) {
                if (finished()) return false;
                // The server closed the connection: no answer can come any more.
                if (!m_connection.isConnected()) {
                    endWith(ST_RECV_FAILED);
                    return false;
                }
                int64_t left = until - monotonicMs();
                if (left <= 0) break;
                const int fds[2] = {m_connection.fd(), m_cancel.fd()};
                waitForActivity(fds, 2, static_cast<int>(std::min<int64_t>(left, 1000)));
                if (finished()) return false;
                if (m_connection.HasPending()) {
                    pending = true;
                    break;
                }
            }
            if (!pending) {
                endWith(ST_TIMEOUT);
                return false;
            }
        }
        if (!readExact(m_packet, 4, waitSeconds)) {
            endWith(ST_RECV_FAILED);
            return false;
        }
        const int32_t type = getInt32(m_packet);
        if (type == PKT_MAIL && expectedType != PKT_MAIL) {
            // Held mail handed over before the answer: it goes to slot 0 as any delivery, then
            // the wait for the answer begins again.
            int32_t length = 0;
            if (!readRest(waitSeconds, length)) return false;
            m_mailbox.setDeadline(0);
            if (length >= 0 && !deliverInbound(length)) return false;
            continue;
        }
        if (expectedType != 0 && type != expectedType) {
            endWith(ST_PROTOCOL_ERROR);
            return false;
        }
        int32_t length = 0;
        if (!readRest(waitSeconds, length)) return false;
        if (length < 0 ||
            !parseResult(m_packet + FRAME_HEADER_SIZE, static_cast<size_t>(length), result)) {
            endWith(ST_PROTOCOL_ERROR);
            return false;
        }
        m_mailbox.setDeadline(0);
        return true;
    }
}

bool CcRsData::readRest(int timeoutSeconds, int32_t& length) {
    if (!readExact(m_packet + 4, 4, timeoutSeconds)) {
        endWith(ST_RECV_FAILED);
        return false;
    }
    length = getInt32(m_packet + 4);
    if (length < 0 || length > MAX_SANE_LENGTH) {
        endWith(ST_RECV_FAILED);
        return false;
    }
    if (length > static_cast<int32_t>(MAILBOX_MAX_BODY)) {
        // Too big for slot 0 (the server never sends one): read past it, keep the connection.
        if (!skipBytes(length, timeoutSeconds)) {
            endWith(ST_RECV_FAILED);
            return false;
        }
        length = -1;
        return true;
    }
    if (!readExact(m_packet + FRAME_HEADER_SIZE, static_cast<unsigned>(length), timeoutSeconds)) {
        endWith(ST_RECV_FAILED);
        return false;
    }
    return true;
}

bool CcRsData::deliverInbound(int32_t length) {
    // Slot 0 holds one packet: wait here, doing nothing else, until it has been emptied.
    const unsigned total = FRAME_HEADER_SIZE + static_cast<unsigned>(length);
    for (;;) {
        m_slotSignal.drain();
        if (m_mailbox.putSlot(total, m_packet, SLOT_INBOUND) == total) return true;
        if (finished()) return false;
        const int fds[2] = {m_slotSignal.fd(), m_cancel.fd()};
        waitForActivity(fds, 2, SLOT_WAIT_MS);
        if (finished()) return false;
    }
}

void CcRsData::receiveInbound() {
    if (!m_connection.HasPending()) return;
    m_mailbox.setDeadline(nowSeconds() + INBOUND_DEADLINE_SECONDS);
    if (!readExact(m_packet, 4, PIECE_WAIT_SECONDS)) {
        endWith(ST_RECV_FAILED);
        return;
    }
    int32_t length = 0;
    if (!readRest(PIECE_WAIT_SECONDS, length)) return;
    // The deadline covers the read only: a packet waiting for slot 0 (while a dialog holds the
    // main window's tick) is no reason to end the worker.
    m_mailbox.setDeadline(0);
    if (length >= 0) deliverInbound(length);
}

void CcRsData::sendOutbound() {
    const unsigned length = m_mailbox.peekSlot(m_outbound, SLOT_OUTBOUND);
    if (length == 0) return;
    // With no open connection the Write fails too: a request is never taken for sent.
    if (!m_connection.Write(m_outbound, length) || finished()) {
        endWith(ST_SEND_FAILED);
        return;
    }
    m_lastRequestLogIn.store(m_logIns.load());
    m_mailbox.putSlot(0, nullptr, SLOT_OUTBOUND);
}

}  // namespace tovi
