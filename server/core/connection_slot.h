// CConnectionSlot: one of the server's 200 connection slots: the accepted socket, the bytes read
// ahead, the frame assembler, and the output queue of what the worker has decided to send
// (results, user lists and deliveries, in order). Nothing here ever waits: reads and writes take
// what the socket offers at the moment, and what the socket cannot take yet stays queued.
//
// A mail result whose routing held mail is queued behind a gate: nothing from the gate on is
// written until the held mail is on disk (the gate then opens, and the result says failure if the
// flush failed), so that the sender hears of success only once nothing can lose it and the
// connection's order is kept.
//
// Deliveries are remembered as such while they are queued, so that when a connection ends
// before they have been written whole, the worker can hold them for their user instead.
// Deliveries handed over from the held-mail store are counted apart, so that a user's held mail
// can be queued at once without counting against the queue's cap.
//
// A slot ends in one of two ways: at once (close(), after the worker has taken the undelivered
// deliveries), or in order (beginClose()): no further packet is read, the queued output is
// written, the sending side is shut down, and what the peer still sends is read and dropped until
// it closes too (or the linger time ends), so that closing never destroys bytes the peer has not
// read yet.
//
// Used by the server's worker thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/tcp_socket.h"
#include "protocol/packets.h"
#include "server/core/frame_assembler.h"

namespace tovi {

class CConnectionSlot {
  public:
    enum class State : uint8_t {
        FREE,       // no connection
        OPEN,       // reading packets and writing
        CLOSING,    // writing what is queued, then the sending side is shut down
        LINGERING,  // sending side shut; input is read and dropped until the peer closes
    };
    static constexpr size_t READ_AHEAD_SIZE = 16384;
    // How long a lingering connection waits for the peer's close.
    static constexpr int64_t LINGER_MS = 2000;
    // Bytes of queued held mail offered to the socket by one flush().
    static constexpr size_t STORE_WINDOW = 16384;

    // A delivery that was not written whole.
    struct Undelivered {
        char name[NAME_BUFFER_SIZE] = {};  // the user it was queued for
        int32_t time = 0;
        bool fromStore = false;
        int64_t ref = -1;  // the record of a delivery from the held-mail store
        std::string payload;
    };

    CConnectionSlot() = default;
    CConnectionSlot(const CConnectionSlot&) = delete;
    CConnectionSlot& operator=(const CConnectionSlot&) = delete;

    // Takes over an accepted socket; the log-in is awaited from nowMs.
    void attach(CTcpSocket&& socket, int64_t nowMs);
    State state() const { return m_state; }
    bool isOpen() const { return m_state == State::OPEN; }
    bool isFree() const { return m_state == State::FREE; }
    int fd() const { return m_socket.fd(); }
    int64_t attachedAtMs() const { return m_attachedAtMs; }
    bool peerAddress(std::string& out) const { return m_socket.peerAddress(out); }

    // Input. Feeds the assembler with what was read ahead, then with what the socket holds, until
    // a verdict other than MORE (a packet is whole, or the stream must end) or nothing more is
    // there now. Reading stops for this call after a few read-aheads' worth (moreWaiting() then
    // tells that the socket may hold more).
    CFrameAssembler::Verdict receive(int64_t nowMs);
    CFrameAssembler& frames() { return m_frames; }
    const CFrameAssembler& frames() const { return m_frames; }
    bool moreWaiting() const { return m_moreWaiting; }
    // The peer has closed its sending side (every byte before is read ahead or taken).
    bool peerEnded() const { return m_peerEnded; }
    // The connection broke (a reset or another failure of a read or a write).
    bool failed() const { return m_failed; }
    // Lingering: reads and drops what comes; true once the peer has closed or failed.
    bool drainLinger();

    // Output. Adds one frame to the queue (nothing is sent yet).
    void queue(const char* frame, size_t length, int64_t nowMs);
    // Adds a delivery frame (type, length, time, payload) queued for the user name.
    // fromStore: held mail being handed over, ref its record in the store.
    void queueDelivery(const char* frame, size_t length, const char* name, bool fromStore,
                       int64_t ref, int64_t nowMs);
    // The last delivery queued (live mail written in part) is from now on the held-mail store's
    // record ref, reported like held mail being handed over.
    void attachRecord(int64_t ref);
    // Adds a mail result frame (PKT_MAIL_RESULT, success) that may leave only once the held-mail
    // store's sync outcomes cover ticket.
    void queueGatedResult(const char* frame, size_t length, uint64_t ticket, int64_t nowMs);
    // Every record up to ticket `through` is on disk (ok) or its flush failed: the gates up to it
    // open; a failed one turns its result into (1, MAIL_HOLD_FAILED).
    void openGates(uint64_t through, bool ok);
    bool gated() const { return !m_gates.empty(); }

    // One send of as much of the queue as the socket takes (up to the first closed gate). False
    // when the connection failed.
    bool flush(int64_t nowMs);
    size_t unsentBytes() const { return m_out.size() - m_outHead; }
    // Unsent bytes before the first closed gate.
    size_t sendableBytes() const {
        if (m_gates.empty()) return unsentBytes();
        const uint64_t head = m_outBase + m_outHead;
        return m_gates.front().at > head ? static_cast<size_t>(m_gates.front().at - head) : 0;
    }
    // Unsent bytes that count against the queue's cap (held mail being handed over does not).
    size_t cappedBytes() const;
    // The last send left bytes behind because the socket had no room for them: its room is
    // worth waiting for. (Queued bytes that are not blocked want another flush soon.)
    bool blocked() const { return m_blocked; }
    // Held mail waits to be offered to a socket that has room: flush again soon.
    bool handingOver() const { return m_storeBytes > 0 && !m_blocked && sendableBytes() > 0; }
    size_t storeBytes() const { return m_storeBytes; }
    bool hasBufferedInput() const { return m_inPos < m_inEnd; }
    // When the peer last took bytes (or when the queue last became non-empty).
    int64_t lastProgressMs() const { return m_lastProgressMs; }

    // The deliveries not written whole, oldest first; they leave the queue.
    void takeUndelivered(std::vector<Undelivered>& out);

    // Ends in order (see above); nothing more is read as packets.
    void beginClose();
    // After the queue is written: shuts the sending side down and starts lingering (or frees the
    // slot when the peer has closed already).
    void finishOutput(int64_t nowMs);
    int64_t lingerUntilMs() const { return m_lingerUntilMs; }
    // Frees the slot at once; whatever is queued is dropped.
    void close();

    // Readiness interest, kept by the connection table.
    bool watchingRead = false;
    bool watchingWrite = false;
    // Worker bookkeeping.
    bool readable = false;      // bytes may be waiting to be read
    bool packetReady = false;   // a whole packet waits in the assembler
    int64_t redeliverAtMs = 0;  // held mail is due then; 0: none
    char redeliverName[NAME_BUFFER_SIZE] = {};
    bool handOverMore = false;  // more held mail waits for the next round
    bool owed = false;          // held mail for its user waits for the disk, then a round
    // Records of held mail written whole by flush(), for the worker to report to the store.
    std::vector<int64_t> writtenRefs;

  private:
    struct Marker {
        uint64_t start = 0;  // absolute offsets of the frame in the output stream
        uint64_t end = 0;
        bool fromStore = false;
        int64_t ref = -1;
        char name[NAME_BUFFER_SIZE] = {};
    };
    struct Gate {
        uint64_t at = 0;  // absolute offset of the gated result frame
        uint64_t ticket = 0;
    };
    void compact();

    State m_state = State::FREE;
    CTcpSocket m_socket;
    CFrameAssembler m_frames;
    int64_t m_attachedAtMs = 0;
    bool m_peerEnded = false;
    bool m_failed = false;
    bool m_moreWaiting = false;
    char m_in[READ_AHEAD_SIZE];
    size_t m_inPos = 0;
    size_t m_inEnd = 0;

    std::string m_out;  // queued bytes; m_out[m_outHead..] are not sent yet
    size_t m_outHead = 0;
    uint64_t m_outBase = 0;  // absolute offset of m_out[0]
    std::deque<Marker> m_deliveries;
    std::deque<Gate> m_gates;
    size_t m_storeBytes = 0;  // bytes of queued held-mail deliveries not yet sent whole
    bool m_blocked = false;
    int64_t m_lastProgressMs = 0;
    int64_t m_lingerUntilMs = 0;
};

}  // namespace tovi
