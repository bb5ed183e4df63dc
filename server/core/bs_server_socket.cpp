#include "server/core/bs_server_socket.h"

#include <cstring>

#include "platform/clock.h"

namespace tovi {

namespace {

// Poller tokens beside the slot indexes 0..199.
constexpr int TOKEN_LISTENER = CBsServerSocket::SLOT_COUNT;
constexpr int TOKEN_WAKE = CBsServerSocket::SLOT_COUNT + 1;

std::string joinPath(const std::string& dir, const char* name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace

CBsServerSocket::CBsServerSocket(const std::string& dataDirectory)
    : m_users(joinPath(dataDirectory, "TovisUser.dat")),
      m_store(joinPath(dataDirectory, "TovisBackMail.dat")),
      m_inputs(new SlotInput[SLOT_COUNT]) {
    for (auto& slot : m_slots) slot = std::make_unique<CBsClientSocket>(SocketRole::SERVER);
    // A missing or damaged user file leaves the users read so far (none when missing).
    m_users.load();
    // New records must never be appended behind a torn or damaged end.
    m_store.recover();
}

CBsServerSocket::~CBsServerSocket() { closeAll(); }

bool CBsServerSocket::startListening(const char* address, int port) {
    std::strncpy(m_bindAddress, address ? address : "", sizeof m_bindAddress - 1);
    m_port = port;
    if (!m_listener.isOpen() && !m_listener.listen(m_bindAddress, port, LISTEN_BACKLOG))
        return false;
    m_listening = true;
    m_listenerWatched = false;
    updateListenerInterest();
    return true;
}

void CBsServerSocket::closeAll() {
    flushQueuedResults();
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (m_slots[i]->isAttached()) m_slots[i]->Close();
        updateInterest(i);
    }
    if (m_listener.isOpen()) {
        m_poller.forget(m_listener.fd());
        m_listener.shutdownSend();
        m_listener.close();
    }
    m_listenerWatched = false;
    m_listening = false;
}

void CBsServerSocket::resetPacket(SlotInput& in) {
    in.piece = Piece::TYPE;
    in.got = 0;
    in.type = 0;
    in.length = 0;
    in.deadlineMs = 0;
    in.complete = false;
}

void CBsServerSocket::resetSlot(int index) {
    SlotInput& in = m_inputs[index];
    resetPacket(in);
    in.loggingIn = false;
    in.readable = false;
    in.redeliverAtMs = 0;
    in.redeliverName[0] = '\0';
}

// The poller reports a slot's data except while its held mail is due, so that the
// level-triggered wait does not spin through the 100 ms pause. (A slot whose whole packet waits
// to be handled keeps its watch: the pass does not wait then anyway, and switching the watch off
// and on for every packet would cost two system calls a packet.)
void CBsServerSocket::updateInterest(int index) {
    SlotInput& in = m_inputs[index];
    CBsClientSocket& slot = *m_slots[index];
    const bool want = slot.isConnected() && in.redeliverAtMs == 0;
    if (!slot.isConnected()) {
        in.watching = false;  // closing the descriptor ended its watch
        return;
    }
    if (want == in.watching) return;
    if (m_poller.watch(slot.fd(), index, want)) in.watching = want;
}

// With every slot taken, waiting connections stay in the listen queue and the listener is not
// watched; it is watched again (and the queue looked at) as soon as a slot is free.
void CBsServerSocket::updateListenerInterest() {
    if (!m_listening || !m_listener.isOpen()) return;
    bool freeSlot = false;
    for (int i = 0; i < SLOT_COUNT && !freeSlot; ++i) freeSlot = !m_slots[i]->isConnected();
    if (freeSlot == m_listenerWatched) return;
    if (m_poller.watch(m_listener.fd(), TOKEN_LISTENER, freeSlot)) m_listenerWatched = freeSlot;
}

void CBsServerSocket::acceptPending() {
    if (!m_listening) return;
    for (;;) {
        int index = -1;
        for (int i = 0; i < SLOT_COUNT; ++i) {
            if (!m_slots[i]->isConnected()) {
                index = i;
                break;
            }
        }
        if (index < 0) break;
        CTcpSocket accepted;
        if (!m_listener.accept(accepted)) break;
        CBsClientSocket& slot = *m_slots[index];
        // The user of the slot's previous connection is unbound before the slot is reused.
        if (slot.isClosed()) {
            m_users.unbindConnection(index);
            slot.clearClosed();
        }
        resetSlot(index);
        slot.Attach(std::move(accepted));
        slot.setWriteTimeoutMs(SLOT_WRITE_TIMEOUT_MS);
        SlotInput& in = m_inputs[index];
        in.loggingIn = true;
        in.deadlineMs = monotonicMs() + LOGIN_FIRST_BYTES_MS;
        in.readable = true;
        in.watching = false;
        updateInterest(index);
    }
    updateListenerInterest();
}

bool CBsServerSocket::reapClosed(int& index) {
    reapFreed();
    index = -1;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (m_slots[i]->isConnected()) {
            index = i;
            return true;
        }
    }
    return false;
}

bool CBsServerSocket::reapFreed() {
    bool freed = false;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        CBsClientSocket& slot = *m_slots[i];
        if (!slot.isClosed()) continue;
        m_users.unbindConnection(i);
        slot.clearClosed();
        resetSlot(i);
        updateInterest(i);
        freed = true;
    }
    if (freed) updateListenerInterest();
    return freed;
}

bool CBsServerSocket::findReadable(int& index) {
    if (index != -1) return m_inputs[index].complete && m_slots[index]->isConnected();
    for (int step = 1; step <= SLOT_COUNT; ++step) {
        int i = (m_cursor + step) % SLOT_COUNT;
        if (m_inputs[i].complete && m_slots[i]->isConnected()) {
            index = i;
            m_cursor = i;
            return true;
        }
    }
    return false;
}

// Reads what has arrived for the slot until a packet is complete or nothing more is there.
void CBsServerSocket::feedSlot(int index) {
    SlotInput& in = m_inputs[index];
    CBsClientSocket& slot = *m_slots[index];
    in.readable = false;
    while (!in.complete && in.redeliverAtMs == 0 && slot.isConnected()) {
        char* dst;
        uint32_t need;
        switch (in.piece) {
            case Piece::TYPE:
                dst = in.head + in.got;
                need = 4 - in.got;
                break;
            case Piece::LENGTH:
                dst = in.head + 4 + in.got;
                need = 4 - in.got;
                break;
            default:
                dst = in.body + in.got;
                need = static_cast<uint32_t>(in.length) - in.got;
                break;
        }
        // Small pieces come from the slot's read-ahead (one receive for many packets); a large
        // remainder of a body is received straight into place.
        if (slot.bufferedBytes() == 0 && need < CBsClientSocket::STREAM_BUFFER_SIZE &&
            !slot.HasPending())
            break;
        long n = slot.ReadAvailable(dst, need);
        if (n <= 0) break;
        if (in.piece == Piece::TYPE && in.got == 0)
            in.deadlineMs = monotonicMs() + (in.loggingIn ? LOGIN_PIECE_MS : PACKET_PIECE_MS);
        in.got += static_cast<uint32_t>(n);
        if (in.got == (in.piece == Piece::BODY ? static_cast<uint32_t>(in.length) : 4u))
            pieceComplete(index);
    }
    updateInterest(index);
}

void CBsServerSocket::pieceComplete(int index) {
    SlotInput& in = m_inputs[index];
    const int64_t pieceMs = in.loggingIn ? LOGIN_PIECE_MS : PACKET_PIECE_MS;
    switch (in.piece) {
        case Piece::TYPE:
            in.type = getInt32(in.head);
            if (in.loggingIn && in.type != PKT_LOGIN) {
                // Only the 4 type bytes are taken; what follows is read as the next packet.
                in.loggingIn = false;
                resetPacket(in);
                sendResult(index, PKT_LOGIN_RESULT, 1, LOGIN_BAD_HANDSHAKE);
                return;
            }
            if (in.type < PKT_TYPE_MIN || in.type > PKT_TYPE_MAX) {
                resetPacket(in);
                return;
            }
            in.piece = Piece::LENGTH;
            in.got = 0;
            in.deadlineMs = monotonicMs() + pieceMs;
            return;
        case Piece::LENGTH:
            in.length = getInt32(in.head + 4);
            if (in.length < 0 || in.length > static_cast<int32_t>(PACKET_BUFFER_SIZE)) {
                // Such a frame cannot be taken and the stream cannot be trusted after it.
                m_slots[index]->Close();
                resetPacket(in);
                return;
            }
            in.got = 0;
            if (in.length == 0) {
                if (in.loggingIn) {
                    in.complete = true;  // a log-in without a name is still answered
                    in.deadlineMs = 0;
                } else {
                    resetPacket(in);
                }
                return;
            }
            in.piece = Piece::BODY;
            in.deadlineMs = monotonicMs() + pieceMs;
            return;
        case Piece::BODY:
            in.complete = true;
            in.deadlineMs = 0;
            return;
    }
}

void CBsServerSocket::expireDeadlines(int64_t now) {
    for (int i = 0; i < SLOT_COUNT; ++i) {
        SlotInput& in = m_inputs[i];
        if (in.deadlineMs == 0 || now < in.deadlineMs || !m_slots[i]->isConnected()) continue;
        // The bytes of the unfinished piece are dropped; the connection stays open.
        resetPacket(in);
        if (in.loggingIn) {
            in.loggingIn = false;
            sendResult(i, PKT_LOGIN_RESULT, 1, LOGIN_BAD_HANDSHAKE);
        }
        updateInterest(i);
    }
}

void CBsServerSocket::redeliverDue(int64_t now) {
    for (int i = 0; i < SLOT_COUNT; ++i) {
        SlotInput& in = m_inputs[i];
        if (in.redeliverAtMs == 0 || now < in.redeliverAtMs) continue;
        in.redeliverAtMs = 0;
        if (m_slots[i]->isConnected()) redeliverHeld(i, in.redeliverName);
        in.readable = true;
        updateInterest(i);
    }
}

// The monotonic time of the nearest deadline or due redelivery (0: none); busy when work is
// waiting already.
int64_t CBsServerSocket::nextWakeMs(int64_t now, bool& busy) const {
    busy = false;
    int64_t nearest = 0;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        const SlotInput& in = m_inputs[i];
        if (m_slots[i]->isClosed()) {
            busy = true;  // to be reaped
            return now;
        }
        if (!m_slots[i]->isConnected()) continue;
        if (in.complete || in.readable) {
            busy = true;
            return now;
        }
        for (int64_t t : {in.deadlineMs, in.redeliverAtMs}) {
            if (t != 0 && (nearest == 0 || t < nearest)) nearest = t;
        }
    }
    return nearest;
}

void CBsServerSocket::pollOnce(int wakeFd, int maxWaitMs) {
    int64_t now = monotonicMs();
    bool busy = false;
    int64_t wakeAt = nextWakeMs(now, busy);
    int timeout = maxWaitMs;
    if (busy) {
        timeout = 0;
    } else if (wakeAt != 0) {
        int64_t left = wakeAt > now ? wakeAt - now : 0;
        if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
    }
    if (wakeFd >= 0 && wakeFd != m_wakeFd && m_poller.watch(wakeFd, TOKEN_WAKE, true))
        m_wakeFd = wakeFd;

    // While packets are waiting, results collect in their slots' writers and the poller is asked
    // only every few passes; everything queued leaves before the worker waits for anything.
    int tokens[CReadinessPoller::MAX_EVENTS];
    int n = 0;
    if (timeout != 0 || ++m_busyPasses >= BUSY_PASSES_PER_LOOK) {
        m_busyPasses = 0;
        flushQueuedResults();
        n = m_poller.wait(tokens, CReadinessPoller::MAX_EVENTS, timeout);
    }
    bool acceptWaiting = false;
    for (int k = 0; k < n; ++k) {
        if (tokens[k] == TOKEN_LISTENER) {
            acceptWaiting = true;
        } else if (tokens[k] >= 0 && tokens[k] < SLOT_COUNT) {
            m_inputs[tokens[k]].readable = true;
        }
    }

    if (reapFreed() || acceptWaiting) acceptPending();

    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (m_inputs[i].readable && m_slots[i]->isConnected()) feedSlot(i);
    }
    now = monotonicMs();
    expireDeadlines(now);

    int index = -1;
    if (findReadable(index)) handlePacket(index);
    redeliverDue(monotonicMs());
    // A connection closed during this pass frees its slot now, and a connection left waiting
    // in the listen queue takes it at once.
    if (reapFreed()) acceptPending();
}

void CBsServerSocket::handlePacket(int index) {
    SlotInput& in = m_inputs[index];
    if (in.loggingIn) {
        handleLogin(index);
    } else {
        const size_t length = static_cast<size_t>(in.length);
        switch (in.type) {
            case PKT_MAIL:
                handleMail(index, in.body, length);
                break;
            case PKT_REGISTER:
                handleRegister(index, in.body, length);
                break;
            case PKT_RENAME:
                handleRename(index, in.body, length);
                break;
            case PKT_USERLIST_REQ:
                handleUserList(index, in.body, length);
                break;
            default:
                break;  // read and dropped (a second PKT_LOGIN among them)
        }
    }
    resetPacket(in);
    in.readable = true;  // the read-ahead may hold the next packet already
    updateInterest(index);
}

void CBsServerSocket::handleLogin(int index) {
    SlotInput& in = m_inputs[index];
    in.loggingIn = false;
    if (in.length > static_cast<int32_t>(NAME_FIELD_SIZE)) {
        sendResult(index, PKT_LOGIN_RESULT, 1, LOGIN_BAD_HANDSHAKE);
        return;
    }
    char name[NAME_BUFFER_SIZE];
    std::memcpy(name, in.body, static_cast<size_t>(in.length));
    name[in.length] = '\0';
    int reason = m_users.bindLogin(index, name);
    if (!sendResult(index, PKT_LOGIN_RESULT, reason == 0 ? 0 : 1, reason)) return;
    if (reason == 0) {
        std::memcpy(in.redeliverName, name, sizeof name);
        in.redeliverAtMs = monotonicMs() + REDELIVERY_PAUSE_MS;
    }
}

bool CBsServerSocket::writeFrame(int index, size_t length) {
    CBsClientSocket& slot = *m_slots[index];
    if (!slot.isAttached()) return false;
    if (slot.Write(m_frame, static_cast<unsigned>(length))) return true;
    slot.Close();
    return false;
}

bool CBsServerSocket::sendResult(int index, int32_t type, int32_t failed, int32_t reason) {
    char frame[FRAME_HEADER_SIZE + RESULT_BODY_SIZE];
    size_t n = putFrameHeader(frame, type, static_cast<int32_t>(RESULT_BODY_SIZE));
    n += buildResult(frame + n, failed, reason);
    CBsClientSocket& slot = *m_slots[index];
    if (!slot.isAttached()) return false;
    // Queued, not yet sent: a later write to the slot sends it first, and the pass sends it
    // before the worker waits. A failed send closes the slot.
    if (!slot.Queue(frame, static_cast<unsigned>(n))) {
        slot.Close();
        return false;
    }
    if (!m_resultQueued[index]) {
        m_resultQueued[index] = true;
        m_queuedSlots[m_queuedCount++] = index;
    }
    return true;
}

void CBsServerSocket::flushQueuedResults() {
    for (int k = 0; k < m_queuedCount; ++k) {
        int index = m_queuedSlots[k];
        m_resultQueued[index] = false;
        CBsClientSocket& slot = *m_slots[index];
        if (slot.isAttached() && !slot.Flush()) slot.Close();
    }
    m_queuedCount = 0;
}

bool CBsServerSocket::deliverLive(int index, int32_t time, const char* payload, size_t length) {
    if (length > PACKET_BUFFER_SIZE) return false;
    if (!m_slots[index]->isAttached()) return false;
    size_t n = putFrameHeader(m_frame, PKT_MAIL, static_cast<int32_t>(4 + length));
    n += buildDelivery(m_frame + n, time, payload, length);
    return writeFrame(index, n);
}

bool CBsServerSocket::holdMail(const char* name, const char* payload, size_t length) {
    return m_store.holdMail(name, nowSeconds(), payload, length);
}

int CBsServerSocket::routeMail(int32_t sendType, const char* user, const char* group,
                               const char* payload, size_t length) {
    const char* nameFilter = nullptr;
    const char* groupFilter = nullptr;
    bool connectedOnly = false;
    switch (sendType) {
        case SEND_TO_USER:
            nameFilter = user;
            break;
        case SEND_TO_GROUP:
            groupFilter = group;
            break;
        case SEND_TO_GROUP_CONNECTED:
            groupFilter = group;
            connectedOnly = true;
            break;
        case SEND_TO_ALL:
            break;
        case SEND_TO_ALL_CONNECTED:
            connectedOnly = true;
            break;
        default:
            return MAIL_DONE;  // goes nowhere
    }
    const int32_t now = nowSeconds();
    int reason = MAIL_DONE;
    bool first = true;
    char name[NAME_BUFFER_SIZE];
    char userGroup[NAME_BUFFER_SIZE];
    for (;;) {
        int connection =
            m_users.next(name, userGroup, groupFilter, nameFilter, connectedOnly, first);
        if (connection == CUserTable::NEXT_NONE) {
            if (first && sendType == SEND_TO_USER) reason = MAIL_UNKNOWN_USER;
            break;
        }
        first = false;
        if (connection < 0 || !deliverLive(connection, now, payload, length)) {
            // Not connected, or the live write failed (which closed that connection): held.
            if (!m_store.holdMail(name, now, payload, length)) {
                reason = MAIL_HOLD_FAILED;
                break;
            }
        }
        if (sendType == SEND_TO_USER) break;
    }
    // Every record held for this mail is on disk before the sender hears of success.
    if (!m_store.finishHolding() && reason == MAIL_DONE) reason = MAIL_HOLD_FAILED;
    return reason;
}

void CBsServerSocket::handleMail(int index, const char* body, size_t length) {
    MailRequest mail;
    if (!parseMailRequest(body, length, mail)) {
        // Too long, or too short to hold its routing header.
        sendResult(index, PKT_MAIL_RESULT, 1, MAIL_UNKNOWN_USER);
        return;
    }
    int reason =
        routeMail(mail.sendType, mail.destUser, mail.destGroup, mail.payload, mail.payloadLength);
    sendResult(index, PKT_MAIL_RESULT, reason == MAIL_DONE ? 0 : 1, reason);
}

void CBsServerSocket::handleRegister(int index, const char* body, size_t length) {
    NamePair names;
    if (!parseNamePair(body, length, names)) return;  // wrong length: no answer
    // A connection carries at most one user: the user it carried so far gives it up, and gets
    // it back when the new name is not taken on (name taken, table full, no address).
    char previous[NAME_BUFFER_SIZE] = {};
    const char* carried = m_users.userOf(index);
    if (carried != nullptr) std::memcpy(previous, carried, sizeof previous);
    m_users.unbindConnection(index);
    std::string address;
    int reason = REGISTER_NO_ADDRESS;
    if (m_slots[index]->peerAddress(address))
        reason = m_users.add(names.name, address.c_str(), names.group, index, true);
    const bool bound = reason == CUserTable::ADD_DONE || reason == CUserTable::ADD_NOT_SAVED;
    if (!bound && carried != nullptr) m_users.bindLogin(index, previous);
    sendResult(index, PKT_REGISTER_RESULT, reason == 0 ? 0 : 1, reason);
}

void CBsServerSocket::handleRename(int index, const char* body, size_t length) {
    NamePair names;
    if (!parseNamePair(body, length, names)) return;
    char oldName[NAME_BUFFER_SIZE];
    char oldGroup[NAME_BUFFER_SIZE];
    if (!m_users.rename(index, names.name, names.group, oldName, oldGroup)) {
        sendResult(index, PKT_REGISTER_RESULT, 1, 0);
        return;
    }
    if (sendResult(index, PKT_REGISTER_RESULT, 0, 0)) redeliverHeld(index, oldName);
}

void CBsServerSocket::handleUserList(int index, const char* body, size_t length) {
    UserListRequest request;
    if (!parseUserListRequest(body, length, request)) return;
    const char* groupFilter = request.filter == USERLIST_FILTER_GROUP ? request.group : nullptr;
    char name[NAME_BUFFER_SIZE];
    char group[NAME_BUFFER_SIZE];
    size_t n = FRAME_HEADER_SIZE;
    bool restart = true;
    for (;;) {
        int connection = m_users.next(name, group, groupFilter, nullptr, false, restart);
        restart = false;
        if (connection == CUserTable::NEXT_NONE) break;
        n += buildUserRecord(m_frame + n, connection != -1 ? 1 : 0, name, group);
    }
    putFrameHeader(m_frame, PKT_USERLIST, static_cast<int32_t>(n - FRAME_HEADER_SIZE));
    writeFrame(index, n);
}

bool CBsServerSocket::deliverHeld(int32_t storedTime, const char* payload, size_t length) {
    return m_redeliverySlot >= 0 && deliverLive(m_redeliverySlot, storedTime, payload, length);
}

bool CBsServerSocket::redeliverHeld(int index, const char* name) {
    m_redeliverySlot = index;
    bool ok = m_store.redeliverHeld(name, m_holdLimit, nowSeconds(), *this);
    m_redeliverySlot = -1;
    return ok;
}

void CBsServerSocket::deleteUser(const char* name) {
    int connection = m_users.findConnection(name);
    if (connection >= 0) m_slots[connection]->Close();
    m_users.remove(name);
}

}  // namespace tovi
