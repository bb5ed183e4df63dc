#include "server/core/frame_assembler.h"

#include <algorithm>
#include <cstring>

namespace tovi {

void CFrameAssembler::startConnection(int64_t nowMs) {
    resetPacket();
    m_loggingIn = true;
    m_ready = false;
    m_wasLogIn = false;
    m_broken = false;
    m_deadlineMs = nowMs + LOGIN_FIRST_BYTES_MS;
}

void CFrameAssembler::resetPacket() {
    m_piece = Piece::TYPE;
    m_got = 0;
    m_type = 0;
    m_length = 0;
    m_deadlineMs = 0;
}

CFrameAssembler::Verdict CFrameAssembler::feed(const char* data, size_t size, int64_t nowMs,
                                               size_t& used) {
    used = 0;
    if (m_broken) return BAD_LENGTH;
    if (m_ready) {
        m_ready = false;
        m_wasLogIn = false;
        resetPacket();
    }
    while (used < size) {
        char* dst;
        uint32_t need;
        switch (m_piece) {
            case Piece::TYPE:
                dst = m_head + m_got;
                need = 4 - m_got;
                break;
            case Piece::LENGTH:
                dst = m_head + 4 + m_got;
                need = 4 - m_got;
                break;
            default:
                dst = m_body + m_got;
                need = static_cast<uint32_t>(m_length) - m_got;
                break;
        }
        if (m_piece == Piece::TYPE && m_got == 0)
            m_deadlineMs = nowMs + (m_loggingIn ? LOGIN_PIECE_MS : PACKET_PIECE_MS);
        const size_t take = std::min<size_t>(need, size - used);
        std::memcpy(dst, data + used, take);
        used += take;
        m_got += static_cast<uint32_t>(take);
        if (take < need) break;
        Verdict v = pieceComplete(nowMs);
        if (v != MORE) return v;
    }
    return MORE;
}

CFrameAssembler::Verdict CFrameAssembler::pieceComplete(int64_t nowMs) {
    const int64_t pieceMs = m_loggingIn ? LOGIN_PIECE_MS : PACKET_PIECE_MS;
    switch (m_piece) {
        case Piece::TYPE:
            m_type = getInt32(m_head);
            if (m_loggingIn && m_type != PKT_LOGIN) {
                m_loggingIn = false;
                resetPacket();
                return BAD_HANDSHAKE;
            }
            if (m_type < PKT_TYPE_MIN || m_type > PKT_TYPE_MAX) {
                resetPacket();
                return MORE;
            }
            m_piece = Piece::LENGTH;
            m_got = 0;
            m_deadlineMs = nowMs + pieceMs;
            return MORE;
        case Piece::LENGTH:
            m_length = getInt32(m_head + 4);
            if (m_length < 0 || m_length > static_cast<int32_t>(PACKET_BUFFER_SIZE)) {
                m_broken = true;
                m_loggingIn = false;
                resetPacket();
                return BAD_LENGTH;
            }
            m_got = 0;
            if (m_length == 0) {
                if (!m_loggingIn) {
                    resetPacket();
                    return MORE;
                }
                break;  // a log-in without a name is still answered
            }
            m_piece = Piece::BODY;
            m_deadlineMs = nowMs + pieceMs;
            return MORE;
        case Piece::BODY:
            break;
    }
    m_wasLogIn = m_loggingIn;
    m_loggingIn = false;
    m_ready = true;
    m_deadlineMs = 0;
    return PACKET;
}

CFrameAssembler::Expiry CFrameAssembler::expire(int64_t nowMs) {
    if (m_ready || m_broken || m_deadlineMs == 0 || nowMs < m_deadlineMs) return NOT_DUE;
    resetPacket();
    if (m_loggingIn) {
        m_loggingIn = false;
        return HANDSHAKE_EXPIRED;
    }
    return PACKET_DROPPED;
}

}  // namespace tovi
