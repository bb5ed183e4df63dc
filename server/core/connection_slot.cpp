#include "server/core/connection_slot.h"

#include <cstring>

namespace tovi {

namespace {
// Read-aheads per receive() call, so that one busy connection cannot keep the worker.
constexpr int READS_PER_RECEIVE = 4;
// The sent front of the queue is dropped once it is this large (and half the queue).
constexpr size_t COMPACT_AT = 65536;
}  // namespace

void CConnectionSlot::attach(CTcpSocket&& socket, int64_t nowMs) {
    m_socket = std::move(socket);
    m_state = State::OPEN;
    m_frames.startConnection(nowMs);
    m_attachedAtMs = nowMs;
    m_peerEnded = false;
    m_failed = false;
    m_moreWaiting = false;
    m_inPos = m_inEnd = 0;
    m_out.clear();
    m_outHead = 0;
    m_outBase = 0;
    m_deliveries.clear();
    m_gates.clear();
    m_storeBytes = 0;
    m_blocked = false;
    m_lastProgressMs = nowMs;
    m_lingerUntilMs = 0;
    watchingRead = watchingWrite = false;
    readable = true;
    packetReady = false;
    redeliverAtMs = 0;
    redeliverName[0] = '\0';
    handOverMore = false;
    owed = false;
}

CFrameAssembler::Verdict CConnectionSlot::receive(int64_t nowMs) {
    m_moreWaiting = false;
    if (m_state != State::OPEN) return CFrameAssembler::MORE;
    for (int reads = 0;;) {
        if (m_inPos < m_inEnd) {
            size_t used = 0;
            auto v = m_frames.feed(m_in + m_inPos, m_inEnd - m_inPos, nowMs, used);
            m_inPos += used;
            if (v != CFrameAssembler::MORE) return v;
        }
        if (m_peerEnded || m_failed) return CFrameAssembler::MORE;
        if (reads++ == READS_PER_RECEIVE) {
            m_moreWaiting = true;
            return CFrameAssembler::MORE;
        }
        long r = m_socket.readSome(m_in, READ_AHEAD_SIZE);
        if (r > 0) {
            m_inPos = 0;
            m_inEnd = static_cast<size_t>(r);
            continue;
        }
        if (r == CTcpSocket::READ_END_OF_STREAM)
            m_peerEnded = true;
        else if (r != CTcpSocket::READ_WOULD_BLOCK)
            m_failed = true;
        return CFrameAssembler::MORE;
    }
}

bool CConnectionSlot::drainLinger() {
    for (int reads = 0; reads < READS_PER_RECEIVE; ++reads) {
        long r = m_socket.readSome(m_in, READ_AHEAD_SIZE);
        if (r == CTcpSocket::READ_WOULD_BLOCK) return false;
        if (r < 0) return true;
    }
    return false;
}

void CConnectionSlot::queue(const char* frame, size_t length, int64_t nowMs) {
    if (m_state == State::FREE || m_state == State::LINGERING) return;
    if (unsentBytes() == 0) m_lastProgressMs = nowMs;
    m_out.append(frame, length);
}

void CConnectionSlot::queueDelivery(const char* frame, size_t length, const char* name,
                                    bool fromStore, int64_t ref, int64_t nowMs) {
    if (m_state == State::FREE || m_state == State::LINGERING) return;
    Marker m;
    m.start = m_outBase + m_out.size();
    m.end = m.start + length;
    m.fromStore = fromStore;
    m.ref = ref;
    std::strncpy(m.name, name, NAME_FIELD_SIZE);
    m_deliveries.push_back(m);
    if (fromStore) m_storeBytes += length;
    queue(frame, length, nowMs);
}

void CConnectionSlot::attachRecord(int64_t ref) {
    if (m_deliveries.empty() || m_deliveries.back().fromStore) return;
    Marker& m = m_deliveries.back();
    m.fromStore = true;
    m.ref = ref;
    m_storeBytes += static_cast<size_t>(m.end - m.start);
}

void CConnectionSlot::queueGatedResult(const char* frame, size_t length, uint64_t ticket,
                                       int64_t nowMs) {
    if (m_state == State::FREE || m_state == State::LINGERING) return;
    m_gates.push_back({m_outBase + m_out.size(), ticket});
    queue(frame, length, nowMs);
}

void CConnectionSlot::openGates(uint64_t through, bool ok) {
    while (!m_gates.empty() && m_gates.front().ticket <= through) {
        const uint64_t at = m_gates.front().at;
        m_gates.pop_front();
        if (ok || at < m_outBase) continue;
        const size_t body = static_cast<size_t>(at - m_outBase) + FRAME_HEADER_SIZE;
        if (body + RESULT_BODY_SIZE <= m_out.size()) buildResult(&m_out[body], 1, MAIL_HOLD_FAILED);
    }
}

size_t CConnectionSlot::cappedBytes() const {
    const size_t unsent = unsentBytes();
    return unsent > m_storeBytes ? unsent - m_storeBytes : 0;
}

bool CConnectionSlot::flush(int64_t nowMs) {
    m_blocked = false;
    if (m_state == State::FREE || m_failed) return !m_failed;
    // Held mail leaves a little at a time, so that what a crash can repeat (written but not yet
    // noted as handed over) stays small.
    size_t offer = sendableBytes();
    if (offer == 0) return true;
    if (m_storeBytes > 0 && offer > STORE_WINDOW) offer = STORE_WINDOW;
    long n = m_socket.writeSome(m_out.data() + m_outHead, offer);
    if (n == CTcpSocket::WRITE_ERROR) {
        m_failed = true;
        return false;
    }
    if (n > 0) {
        m_outHead += static_cast<size_t>(n);
        m_lastProgressMs = nowMs;
        const uint64_t sent = m_outBase + m_outHead;
        while (!m_deliveries.empty() && m_deliveries.front().end <= sent) {
            const Marker& m = m_deliveries.front();
            if (m.fromStore) {
                m_storeBytes -= static_cast<size_t>(m.end - m.start);
                writtenRefs.push_back(m.ref);
            }
            m_deliveries.pop_front();
        }
    }
    m_blocked = n < static_cast<long>(offer);
    compact();
    return true;
}

void CConnectionSlot::compact() {
    if (m_outHead == m_out.size()) {
        m_outBase += m_outHead;
        m_out.clear();
        m_outHead = 0;
        return;
    }
    // A delivery sent in part keeps its first bytes: it may still have to be held whole.
    size_t drop = m_outHead;
    if (!m_deliveries.empty() && m_deliveries.front().start < m_outBase + drop)
        drop = static_cast<size_t>(m_deliveries.front().start - m_outBase);
    if (drop >= COMPACT_AT && drop * 2 >= m_out.size()) {
        m_out.erase(0, drop);
        m_outBase += drop;
        m_outHead -= drop;
    }
}

void CConnectionSlot::takeUndelivered(std::vector<Undelivered>& out) {
    for (const Marker& m : m_deliveries) {
        const size_t begin = static_cast<size_t>(m.start - m_outBase);
        const size_t length = static_cast<size_t>(m.end - m.start);
        if (begin + length > m_out.size() || length < FRAME_HEADER_SIZE + 4) continue;
        Undelivered u;
        std::memcpy(u.name, m.name, sizeof u.name);
        u.time = getInt32(m_out.data() + begin + FRAME_HEADER_SIZE);
        u.fromStore = m.fromStore;
        u.ref = m.ref;
        u.payload.assign(m_out, begin + FRAME_HEADER_SIZE + 4, length - FRAME_HEADER_SIZE - 4);
        out.push_back(std::move(u));
    }
    m_deliveries.clear();
    m_storeBytes = 0;
}

void CConnectionSlot::beginClose() {
    if (m_state == State::OPEN) m_state = State::CLOSING;
    packetReady = false;
    redeliverAtMs = 0;
}

void CConnectionSlot::finishOutput(int64_t nowMs) {
    if (m_state != State::CLOSING) return;
    if (m_peerEnded || m_failed) {
        close();
        return;
    }
    m_socket.shutdownSend();
    m_state = State::LINGERING;
    m_lingerUntilMs = nowMs + LINGER_MS;
    m_out.clear();
    m_outHead = 0;
    m_deliveries.clear();
    m_gates.clear();
    m_storeBytes = 0;
}

void CConnectionSlot::close() {
    m_socket.close();
    m_state = State::FREE;
    m_out.clear();
    m_out.shrink_to_fit();
    m_outHead = 0;
    m_deliveries.clear();
    m_gates.clear();
    m_storeBytes = 0;
    m_inPos = m_inEnd = 0;
    watchingRead = watchingWrite = false;
    readable = false;
    packetReady = false;
    redeliverAtMs = 0;
    handOverMore = false;
    owed = false;
    m_blocked = false;
}

}  // namespace tovi
