// CFrameAssembler: turns the bytes one connection delivers into whole packets, without a socket
// or a clock of its own (the caller passes the time), so that every framing decision can be
// tested and fuzzed on its own.
//
// A connection starts in its log-in: the first bytes are due within 10 s, then each piece of the
// log-in packet (type, length, name) within 5 s. A first type other than PKT_LOGIN is a failed
// handshake: only its 4 bytes are taken and what follows is read as the next packet. After the
// log-in each piece of a packet is due within 10000 s; a piece that misses its time drops the
// packet begun (the connection stays). A type outside 1..64 takes only its 4 bytes; a packet of
// length 0 is taken unanswered (except the log-in, which is answered whatever its name); a
// length below 0 or above 20000 cannot be taken and the stream cannot be trusted after it.
//
// Used by one thread (the server's worker).
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/packets.h"

namespace tovi {

class CFrameAssembler {
  public:
    static constexpr int64_t LOGIN_FIRST_BYTES_MS = 10000;
    static constexpr int64_t LOGIN_PIECE_MS = 5000;
    static constexpr int64_t PACKET_PIECE_MS = 10000LL * 1000;

    enum Verdict {
        MORE,           // every byte given was taken; no packet is whole yet
        PACKET,         // a whole packet is ready (type(), body(), length(), wasLogIn())
        BAD_HANDSHAKE,  // the first packet is not a log-in: answer (48, 1, 3)
        BAD_LENGTH,     // a length out of range: the connection must end
    };
    enum Expiry {
        NOT_DUE,
        PACKET_DROPPED,     // the packet begun is dropped; nothing is answered
        HANDSHAKE_EXPIRED,  // the log-in did not come in time: answer (48, 1, 3)
    };

    // A new connection, accepted at nowMs: its log-in is awaited.
    void startConnection(int64_t nowMs);

    // Takes bytes from data until a verdict other than MORE is reached or data is used up; used
    // tells how many were taken. After PACKET the packet stays readable until the next feed.
    // After BAD_LENGTH nothing more is taken.
    Verdict feed(const char* data, size_t size, int64_t nowMs, size_t& used);

    // Judges the current piece's deadline at nowMs. Call it only after everything that has
    // arrived has been fed.
    Expiry expire(int64_t nowMs);

    // The deadline of the piece awaited (monotonic ms), 0 when none.
    int64_t deadlineMs() const { return m_deadlineMs; }
    bool loggingIn() const { return m_loggingIn; }
    // Some bytes of a packet have come but not the whole packet.
    bool midPacket() const { return !m_ready && (m_piece != Piece::TYPE || m_got != 0); }
    bool broken() const { return m_broken; }

    // The packet of the last PACKET verdict.
    int32_t type() const { return m_type; }
    const char* body() const { return m_body; }
    size_t length() const { return static_cast<size_t>(m_length); }
    // True when that packet is the connection's log-in.
    bool wasLogIn() const { return m_wasLogIn; }

  private:
    enum class Piece : uint8_t { TYPE, LENGTH, BODY };

    void resetPacket();
    Verdict pieceComplete(int64_t nowMs);

    bool m_loggingIn = false;
    bool m_ready = false;  // a PACKET was handed out; the next feed starts afresh
    bool m_wasLogIn = false;
    bool m_broken = false;
    Piece m_piece = Piece::TYPE;
    uint32_t m_got = 0;
    char m_head[FRAME_HEADER_SIZE] = {};
    int32_t m_type = 0;
    int32_t m_length = 0;
    int64_t m_deadlineMs = 0;
    char m_body[PACKET_BUFFER_SIZE];
};

}  // namespace tovi
