#include "server/core/bs_server_socket.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/event_log.h"

namespace tovi {

namespace {

// Poller tokens beside the slot indexes 0..199.
constexpr int TOKEN_LISTENER = CBsServerSocket::SLOT_COUNT;
constexpr int TOKEN_WAKE = CBsServerSocket::SLOT_COUNT + 1;
constexpr int TOKEN_SYNC = CBsServerSocket::SLOT_COUNT + 2;

std::string joinPath(const std::string& dir, const char* name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace

CBsServerSocket::CBsServerSocket(const std::string& dataDirectory)
    : m_users(joinPath(dataDirectory, "TovisUser.dat")),
      m_store(joinPath(dataDirectory, "TovisBackMail.dat")),
      m_handler(m_users, m_store, *this),
      m_slots(new CConnectionSlot[SLOT_COUNT]),
      m_clock(monotonicMs) {
    // A missing or damaged user file leaves the users read so far (none when missing).
    m_users.load();
    // New records must never be appended behind a torn or damaged end.
    m_store.recover();
    m_store.setSyncListener([this] { m_syncSignal.raise(); });
    if (m_syncSignal.fd() >= 0) m_poller.watch(m_syncSignal.fd(), TOKEN_SYNC, true);
    m_store.startWriter();
}

CBsServerSocket::~CBsServerSocket() {
    closeAll();
    // The store outlives the signal (members end in reverse order): it must not raise it.
    m_store.setSyncListener(nullptr);
}

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
    // Results waiting for the disk are answered first.
    m_store.finishHolding();
    applySyncOutcomes();
    const int64_t t = now();
    flushAll(t);
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (!m_slots[i].isFree()) abandon(i);
    }
    m_store.finishHolding();
    if (m_listener.isOpen()) {
        m_poller.forget(m_listener.fd());
        m_listener.shutdownSend();
        m_listener.close();
    }
    m_listenerWatched = false;
    m_listening = false;
    m_acceptWaiting = false;
}

// A slot's data is watched except while its held mail is due (the level-triggered wait would
// spin through the pause); its room to write only while queued bytes wait for it.
void CBsServerSocket::updateInterest(int index) {
    CConnectionSlot& s = m_slots[index];
    if (s.isFree()) return;
    const bool wantRead =
        (s.isOpen() && s.redeliverAtMs == 0) || s.state() == CConnectionSlot::State::LINGERING;
    const bool wantWrite = s.blocked() && s.unsentBytes() > 0;
    if (wantRead == s.watchingRead && wantWrite == s.watchingWrite) return;
    if (m_poller.watchReadWrite(s.fd(), index, wantRead, wantWrite)) {
        s.watchingRead = wantRead;
        s.watchingWrite = wantWrite;
    }
}

// The listener is watched while a waiting connection could be taken: a slot is free, or one
// may be closed to make room. Otherwise waiting connections stay in the listen queue.
void CBsServerSocket::updateListenerInterest() {
    if (!m_listening || !m_listener.isOpen()) return;
    const int64_t t = now();
    bool room = m_live.size() < static_cast<size_t>(SLOT_COUNT);
    for (size_t k = 0; k < m_live.size() && !room; ++k) room = m_slots[m_live[k]].isFree();
    for (size_t k = 0; k < m_live.size() && !room; ++k)
        room = m_users.userOf(m_live[k]) == nullptr &&
               t >= m_slots[m_live[k]].attachedAtMs() + CFrameAssembler::LOGIN_FIRST_BYTES_MS;
    if (room == m_listenerWatched) return;
    if (m_poller.watch(m_listener.fd(), TOKEN_LISTENER, room)) m_listenerWatched = room;
}

bool CBsServerSocket::evictIdleSlot(int64_t nowMs) {
    int oldest = -1;
    for (size_t k = 0; k < m_live.size(); ++k) {
        const int i = m_live[k];
        const CConnectionSlot& s = m_slots[i];
        if (s.isFree() || m_users.userOf(i) != nullptr) continue;
        if (nowMs < s.attachedAtMs() + CFrameAssembler::LOGIN_FIRST_BYTES_MS) continue;
        if (oldest < 0 || s.attachedAtMs() < m_slots[oldest].attachedAtMs()) oldest = i;
    }
    if (oldest < 0) return false;
    flushSlot(oldest, nowMs);
    if (!m_slots[oldest].isFree()) abandon(oldest);
    return true;
}

void CBsServerSocket::acceptPending(bool waiting) {
    if (!m_listening) return;
    if (waiting) m_acceptWaiting = true;
    while (m_acceptWaiting) {
        const int64_t t = now();
        int index = -1;
        for (int i = 0; i < SLOT_COUNT && index < 0; ++i)
            if (m_slots[i].isFree()) index = i;
        bool evictable = false;
        if (index < 0) {
            for (int i = 0; i < SLOT_COUNT && !evictable; ++i)
                evictable = m_users.userOf(i) == nullptr &&
                            t >= m_slots[i].attachedAtMs() + CFrameAssembler::LOGIN_FIRST_BYTES_MS;
            if (!evictable) break;  // it waits in the listen queue for a free slot
        }
        CTcpSocket accepted;
        if (!m_listener.accept(accepted)) {
            m_acceptWaiting = false;
            break;
        }
        uint32_t peer = 0;
        if (!admit(accepted, peer, t)) continue;
        if (index < 0) {
            evictIdleSlot(t);
            for (int i = 0; i < SLOT_COUNT && index < 0; ++i)
                if (m_slots[i].isFree()) index = i;
            if (index < 0) break;  // cannot happen: the evicted slot is free
        }
        // The user of the slot's previous connection was unbound when it ended.
        m_users.unbindConnection(index);
        m_slots[index].attach(std::move(accepted), t);
        m_peers[index] = peer;
        if (!m_listed[index]) {
            m_listed[index] = true;
            m_live.insert(std::upper_bound(m_live.begin(), m_live.end(), index), index);
        }
        updateInterest(index);
    }
    updateListenerInterest();
}

bool CBsServerSocket::admit(const CTcpSocket& accepted, uint32_t& peer, int64_t nowMs) {
    std::string text;
    if (!accepted.peerAddress(text) || !parseIpv4(text, peer)) {
        peer = 0;
        return true;  // not an IPv4 peer: the controls know nothing to say about it
    }
    int held = 0;
    for (const int i : m_live) held += !m_slots[i].isFree() && m_peers[i] == peer ? 1 : 0;
    const int verdict = m_controls.judge(peer, held);
    if (verdict == CNetworkControls::ALLOWED) return true;
    ++m_connectionsRefused;
    if (m_controls.shouldLog(peer, nowMs))
        logEvent("connection from " + text + " refused: " + refusalText(verdict) +
                 " (logged at most once a minute per address)");
    return false;
}

void CBsServerSocket::logHandshakeRefusal(int index, const char* why) {
    std::string address;
    if (!m_slots[index].peerAddress(address)) address = "an unknown address";
    // A scanner would otherwise write a line per probe.
    if (m_controls.shouldLog(m_peers[index], now()))
        logEvent("log-in from " + address + " refused: " + why);
}

void CBsServerSocket::countResult(int32_t type, int32_t failed) {
    if (type != PKT_MAIL_RESULT) return;
    ++(failed == 0 ? m_mailsRelayed : m_mailsRefused);
}

void CBsServerSocket::receive(int index, int64_t nowMs) {
    CConnectionSlot& s = m_slots[index];
    s.readable = false;
    while (s.isOpen() && !s.packetReady && s.redeliverAtMs == 0) {
        const CFrameAssembler::Verdict v = s.receive(nowMs);
        if (v == CFrameAssembler::PACKET) {
            s.packetReady = true;
            break;
        }
        if (v == CFrameAssembler::BAD_HANDSHAKE) {
            logHandshakeRefusal(index, "the first packet was not a log-in");
            sendResult(index, PKT_LOGIN_RESULT, 1, LOGIN_BAD_HANDSHAKE);
            continue;  // what follows is read as the next packet
        }
        if (v == CFrameAssembler::BAD_LENGTH) {
            // Such a frame cannot be taken and the stream cannot be trusted after it.
            closeInOrder(index);
            return;
        }
        if (s.failed()) {
            abandon(index);
            return;
        }
        if (s.peerEnded()) {
            // Every whole packet before the end has been handled; a part of one is dropped.
            closeInOrder(index);
            return;
        }
        s.readable = s.moreWaiting();
        break;
    }
    updateInterest(index);
}

void CBsServerSocket::expireDeadlines(int64_t nowMs) {
    for (size_t k = 0; k < m_live.size(); ++k) {
        const int i = m_live[k];
        CConnectionSlot& s = m_slots[i];
        if (!s.isOpen() || s.packetReady || s.redeliverAtMs != 0) continue;
        const int64_t deadline = s.frames().deadlineMs();
        if (deadline == 0 || nowMs < deadline) continue;
        // What has arrived counts: read it before judging.
        receive(i, nowMs);
        if (!s.isOpen() || s.packetReady) continue;
        if (s.frames().expire(nowMs) == CFrameAssembler::HANDSHAKE_EXPIRED) {
            logHandshakeRefusal(i, "no log-in in time");
            sendResult(i, PKT_LOGIN_RESULT, 1, LOGIN_BAD_HANDSHAKE);
        }
    }
}

void CBsServerSocket::handleOne() {
    // The search starts after the slot served last and goes round once.
    const size_t count = m_live.size();
    const size_t start = static_cast<size_t>(
        std::upper_bound(m_live.begin(), m_live.end(), m_cursor) - m_live.begin());
    for (size_t step = 0; step < count; ++step) {
        const int i = m_live[(start + step) % count];
        CConnectionSlot& s = m_slots[i];
        if (!s.packetReady || !s.isOpen() || s.redeliverAtMs != 0) continue;
        m_cursor = i;
        s.packetReady = false;
        const CFrameAssembler& f = s.frames();
        m_handler.handlePacket(i, f.wasLogIn(), f.type(), f.body(), f.length());
        if (s.isOpen()) {
            // The read-ahead may hold the next packet already (new bytes the poller reports).
            s.readable = s.hasBufferedInput() || s.moreWaiting();
            updateInterest(i);
        }
        return;
    }
}

void CBsServerSocket::handOverDue(int64_t nowMs) {
    for (size_t k = 0; k < m_live.size(); ++k) {
        const int i = m_live[k];
        CConnectionSlot& s = m_slots[i];
        const bool due = s.redeliverAtMs != 0 && nowMs >= s.redeliverAtMs;
        const bool nextRound = s.handOverMore && s.storeBytes() < HAND_OVER_ROUND / 2;
        if (!due && !nextRound) continue;
        if (due) {
            s.redeliverAtMs = 0;
            s.readable = true;
        }
        s.handOverMore = false;
        if (!s.isOpen()) continue;
        bool more = false, waiting = false;
        m_handler.redeliverHeld(i, s.redeliverName, HAND_OVER_ROUND, &more, due, &waiting);
        s.handOverMore = more;
        if (waiting) s.owed = true;  // the rest follows once it is on disk
        flushSlot(i, nowMs);
    }
}

void CBsServerSocket::flushSlot(int index, int64_t nowMs) {
    CConnectionSlot& s = m_slots[index];
    if (s.isFree() || s.state() == CConnectionSlot::State::LINGERING) return;
    const bool ok = s.flush(nowMs);
    if (!s.writtenRefs.empty()) {
        // Held mail written whole leaves the store.
        m_store.handedOver(s.writtenRefs);
        s.writtenRefs.clear();
    }
    if (!ok) {
        abandon(index);
        return;
    }
    if (s.state() == CConnectionSlot::State::CLOSING && s.unsentBytes() == 0) {
        s.finishOutput(nowMs);
        if (s.isFree()) {
            updateListenerInterest();
            return;
        }
    }
    updateInterest(index);
}

void CBsServerSocket::flushAll(int64_t nowMs) {
    for (size_t k = 0; k < m_live.size(); ++k) {
        const int i = m_live[k];
        const CConnectionSlot& s = m_slots[i];
        if (s.sendableBytes() > 0 && !s.blocked()) flushSlot(i, nowMs);
    }
}

void CBsServerSocket::checkOutput(int64_t nowMs) {
    for (size_t k = 0; k < m_live.size(); ++k) {
        const int i = m_live[k];
        CConnectionSlot& s = m_slots[i];
        if (s.isFree()) continue;
        if (s.state() == CConnectionSlot::State::LINGERING) {
            if (nowMs >= s.lingerUntilMs()) {
                s.close();
                updateListenerInterest();
            }
            continue;
        }
        if (s.unsentBytes() > 0 && nowMs - s.lastProgressMs() >= m_stallMs) abandon(i);
    }
}

void CBsServerSocket::closeInOrder(int index) {
    CConnectionSlot& s = m_slots[index];
    if (s.isFree()) return;
    m_users.unbindConnection(index);
    s.beginClose();
    flushSlot(index, now());
}

bool CBsServerSocket::abandon(int index, bool sync) {
    CConnectionSlot& s = m_slots[index];
    if (s.isFree()) return true;
    std::vector<CConnectionSlot::Undelivered> undelivered;
    s.takeUndelivered(undelivered);
    const char* user = m_users.userOf(index);
    char name[NAME_BUFFER_SIZE] = {};
    if (user != nullptr) std::memcpy(name, user, sizeof name);
    m_users.unbindConnection(index);
    s.close();
    bool ok = true;
    bool held = false;
    for (const auto& u : undelivered) {
        if (u.fromStore) {
            m_store.release(u.ref);  // still in the store, where it was
            continue;
        }
        held = true;
        // Its sender may have heard of success already: a failed flush does not take it away.
        ok = m_store.holdMail(name[0] != '\0' ? name : u.name, u.time, u.payload.data(),
                              u.payload.size(), true) &&
             ok;
    }
    if (held && sync) m_store.requestSync();
    updateListenerInterest();
    return ok;
}

void CBsServerSocket::applySyncOutcomes() {
    m_syncSignal.drain();
    m_outcomes.clear();
    m_store.takeSyncOutcomes(m_outcomes);
    for (const CHeldMailStore::SyncOutcome& o : m_outcomes) {
        if (o.through <= m_syncedThrough) continue;
        m_syncedThrough = o.through;
        for (const int i : m_live)
            if (m_slots[i].gated()) m_slots[i].openGates(o.through, o.ok);
    }
    if (m_outcomes.empty()) return;
    // Mail held for connected users is on disk now (or gone): their connections take it.
    for (const int i : m_live) {
        CConnectionSlot& s = m_slots[i];
        const char* user = m_users.userOf(i);
        if (!s.owed || !s.isOpen() || s.redeliverAtMs != 0 || user == nullptr) continue;
        s.owed = false;
        if (!s.handOverMore) std::memcpy(s.redeliverName, user, NAME_BUFFER_SIZE);
        s.handOverMore = true;
    }
}

bool CBsServerSocket::sendResult(int index, int32_t type, int32_t failed, int32_t reason) {
    countResult(type, failed);
    char frame[FRAME_HEADER_SIZE + RESULT_BODY_SIZE];
    size_t n = putFrameHeader(frame, type, static_cast<int32_t>(RESULT_BODY_SIZE));
    n += buildResult(frame + n, failed, reason);
    return sendFrame(index, frame, n);
}

bool CBsServerSocket::sendResultAfterSync(int index, int32_t type, uint64_t ticket) {
    if (ticket <= m_syncedThrough) return sendResult(index, type, 0, 0);
    countResult(type, 0);
    CConnectionSlot& s = m_slots[index];
    if (!s.isOpen() && s.state() != CConnectionSlot::State::CLOSING) return false;
    char frame[FRAME_HEADER_SIZE + RESULT_BODY_SIZE];
    size_t n = putFrameHeader(frame, type, static_cast<int32_t>(RESULT_BODY_SIZE));
    n += buildResult(frame + n, 0, 0);
    s.queueGatedResult(frame, n, ticket, now());
    return true;
}

bool CBsServerSocket::sendFrame(int index, const char* frame, size_t length) {
    CConnectionSlot& s = m_slots[index];
    if (!s.isOpen() && s.state() != CConnectionSlot::State::CLOSING) return false;
    s.queue(frame, length, now());
    if (s.cappedBytes() > m_queueCap) {
        abandon(index);
        return false;
    }
    if (s.sendableBytes() >= EAGER_FLUSH_BYTES && !s.blocked()) flushSlot(index, now());
    return true;
}

int CBsServerSocket::deliver(int index, int32_t time, const char* payload, size_t length,
                             int64_t ref) {
    const bool fromStore = ref >= 0;
    CConnectionSlot& s = m_slots[index];
    if (!s.isOpen() || length > PACKET_BUFFER_SIZE) return DELIVERY_REFUSED;
    const size_t frameLength = FRAME_HEADER_SIZE + 4 + length;
    if (!fromStore && s.cappedBytes() + frameLength > m_queueCap) {
        // It has stopped reading: it ends, and what it had not taken is held (on disk before the
        // sender's answer: routing flushes the store when it is done).
        abandon(index, false);
        return DELIVERY_REFUSED;
    }
    // Live mail that would wait behind others (or behind held mail still to come) is held: its
    // sender hears of success once it is on disk, and the connection takes it from there.
    if (!fromStore && (s.unsentBytes() > 0 || s.redeliverAtMs != 0 || s.handOverMore || s.owed))
        return DELIVERY_BEHIND;
    size_t n = putFrameHeader(m_frame, PKT_MAIL, static_cast<int32_t>(4 + length));
    n += buildDelivery(m_frame + n, time, payload, length);
    const char* user = m_users.userOf(index);
    s.queueDelivery(m_frame, n, user != nullptr ? user : "", fromStore, ref, now());
    // (A hand-over queues the user's held mail whole; it leaves after the hand-over.)
    if (fromStore) return DELIVERY_QUEUED;
    // Live mail goes into the socket now, before its sender can hear of success.
    flushSlot(index, now());
    if (s.isFree() || !s.isOpen()) return DELIVERY_HELD;  // it failed, and held the mail
    return s.unsentBytes() == 0 ? DELIVERY_WRITTEN : DELIVERY_STARTED;
}

void CBsServerSocket::scheduleHandOver(int index, const char* name, int64_t delayMs) {
    CConnectionSlot& s = m_slots[index];
    std::strncpy(s.redeliverName, name, NAME_FIELD_SIZE);
    s.redeliverName[NAME_FIELD_SIZE] = '\0';
    s.redeliverAtMs = now() + delayMs;
    s.handOverMore = false;
    updateInterest(index);
}

void CBsServerSocket::deleteUser(const char* name) {
    const int connection = m_users.findConnection(name);
    if (connection >= 0) closeInOrder(connection);
    m_users.remove(name);
}

// The time of the nearest deadline (0: none); busy when work is waiting already.
int64_t CBsServerSocket::nextWakeMs(int64_t nowMs, bool& busy) const {
    busy = false;
    int64_t nearest = 0;
    bool full = m_live.size() == static_cast<size_t>(SLOT_COUNT);
    const auto consider = [&nearest](int64_t t) {
        if (t != 0 && (nearest == 0 || t < nearest)) nearest = t;
    };
    for (size_t k = 0; k < m_live.size(); ++k) {
        const int i = m_live[k];
        const CConnectionSlot& s = m_slots[i];
        if (s.isFree()) {
            full = false;
            continue;
        }
        if (s.isOpen()) {
            if (s.redeliverAtMs == 0 && (s.packetReady || s.readable)) {
                busy = true;
                return nowMs;
            }
            consider(s.frames().deadlineMs());
            consider(s.redeliverAtMs);
        }
        if (s.state() == CConnectionSlot::State::LINGERING) consider(s.lingerUntilMs());
        if (s.isOpen() && s.handOverMore && s.storeBytes() < HAND_OVER_ROUND / 2) {
            busy = true;  // the next round of held mail
            return nowMs;
        }
        if (s.unsentBytes() > 0) {
            if (s.handingOver()) {
                busy = true;  // held mail leaving a window at a time
                return nowMs;
            }
            consider(s.lastProgressMs() + m_stallMs);
        }
    }
    // With every slot taken, a connection without a user becomes closable at the end of its
    // log-in time; the listener is looked at again then.
    if (full && m_listening && !m_listenerWatched) {
        for (size_t k = 0; k < m_live.size(); ++k) {
            const int i = m_live[k];
            if (m_users.userOf(i) == nullptr)
                consider(m_slots[i].attachedAtMs() + CFrameAssembler::LOGIN_FIRST_BYTES_MS);
        }
    }
    return nearest;
}

void CBsServerSocket::pruneLive() {
    size_t kept = 0;
    for (const int i : m_live) {
        if (m_slots[i].isFree())
            m_listed[i] = false;
        else
            m_live[kept++] = i;
    }
    m_live.resize(kept);
}

void CBsServerSocket::pollOnce(int wakeFd, int maxWaitMs) {
    pruneLive();
    int64_t t = now();
    if (wakeFd >= 0 && wakeFd != m_wakeFd && m_poller.watch(wakeFd, TOKEN_WAKE, true))
        m_wakeFd = wakeFd;

    bool busy = false;
    nextWakeMs(t, busy);
    int tokens[CReadinessPoller::MAX_EVENTS];
    int n = 0;
    // While packets are waiting, output collects in the queues and the poller is asked only
    // every few passes; everything queued is offered to its socket before the worker waits.
    if (!busy || ++m_busyPasses >= BUSY_PASSES_PER_LOOK) {
        m_busyPasses = 0;
        flushAll(t);
        updateListenerInterest();
        const int64_t wakeAt = nextWakeMs(t, busy);
        int timeout = maxWaitMs;
        if (busy) {
            timeout = 0;
        } else if (wakeAt != 0) {
            const int64_t left = wakeAt > t ? wakeAt - t : 0;
            if (timeout < 0 || left < timeout) timeout = static_cast<int>(left);
        }
        n = m_poller.wait(tokens, CReadinessPoller::MAX_EVENTS, timeout);
    }
    t = now();
    bool acceptWaiting = false;
    for (int k = 0; k < n; ++k) {
        const int token = tokens[k];
        if (token == TOKEN_LISTENER) {
            acceptWaiting = true;
        } else if (token == TOKEN_SYNC) {
            applySyncOutcomes();
        } else if (token >= 0 && token < SLOT_COUNT) {
            CConnectionSlot& s = m_slots[token];
            s.readable = true;
            if (s.watchingWrite) flushSlot(token, t);
        }
    }
    acceptPending(acceptWaiting);

    for (size_t k = 0; k < m_live.size(); ++k) {
        const int i = m_live[k];
        CConnectionSlot& s = m_slots[i];
        if (!s.readable) continue;
        if (s.state() == CConnectionSlot::State::LINGERING) {
            s.readable = false;
            if (s.drainLinger()) {
                s.close();
                updateListenerInterest();
            }
        } else if (s.isOpen() && !s.packetReady && s.redeliverAtMs == 0) {
            receive(i, t);
        }
    }
    expireDeadlines(t);
    handleOne();
    t = now();
    handOverDue(t);
    // Held mail on its way leaves a window per pass, whatever else is waiting.
    for (const int i : m_live)
        if (m_slots[i].handingOver()) flushSlot(i, t);
    checkOutput(t);
    // A slot freed during this pass takes a connection left waiting in the listen queue at once.
    if (m_acceptWaiting) acceptPending(false);
}

}  // namespace tovi
