// CBsServerSocket: the server's listening socket and the owner of all per-client state: 200
// connection slots (CConnectionSlot), the user table, the held-mail store and the request
// handlers (CRequestHandler). It accepts connections, reads what arrives on each, has each
// whole packet handled, and writes the queued output out, all without ever waiting inside one
// connection: a client that stalls, stops reading or vanishes costs the others nothing.
//
// Time limits a client sees:
//   - log-in: the first bytes within 10 s of the accept, then each piece (type, length, name)
//     within 5 s, else (48, 1, 3) and the connection stays open, logged out; a deadline is judged
//     only after every byte that has arrived on the connection has been read;
//   - later packets: each piece within 10000 s, else the packet is abandoned;
//   - held mail follows an accepted log-in after 100 ms; meanwhile only this connection waits
//     (its later packets are read once the held mail is queued);
//   - a mail result whose routing held mail leaves once the held mail is on disk (the store's
//     sync thread flushes it; the worker goes on meanwhile);
//   - output: a connection whose queue passes its cap (held mail being handed over aside), or
//     that takes no byte of it for the stall limit, is closed, and every delivery it had not
//     taken whole is held for its user, in order.
// At most one packet is handled per pass, found by a rotating search that starts after the slot
// served last. Output leaves in batches: one send per connection before the worker waits (and at
// least every few passes while packets keep coming).
//
// Ending a connection on purpose (its end of stream, a frame length out of range, the deletion
// of its user) writes what was decided for it first, then shuts it down in order.
//
// With all 200 slots taken and a connection waiting, the slot that has gone longest without a
// logged-in user, and is past its log-in time, is closed to make room; a slot that carries a user
// is never closed for this.
//
// Constructed on any thread before the worker runs; from then on used by the worker only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/activity_signal.h"
#include "platform/readiness_poller.h"
#include "platform/tcp_socket.h"
#include "server/core/connection_slot.h"
#include "server/core/held_mail_store.h"
#include "server/core/network_controls.h"
#include "server/core/request_handler.h"
#include "server/core/user_table.h"

namespace tovi {

class CBsServerSocket : private CConnectionOutput {
  public:
    static constexpr int SLOT_COUNT = 200;
    static constexpr int LISTEN_BACKLOG = 5;
    // Held mail is queued for a connection in rounds of about this much; the next round is
    // queued once less than half a round of it is left unsent.
    static constexpr size_t HAND_OVER_ROUND = 256 * 1024;
    // A connection's queued output (held mail being handed over aside) may not pass this. It
    // fills only once the socket's own buffer (far larger on a busy connection) is full too, and
    // it is what a client that stops reading costs in memory.
    static constexpr size_t DEFAULT_QUEUE_CAP = 128 * 1024;
    // A connection that takes none of its queued bytes for this long is closed.
    static constexpr int64_t DEFAULT_STALL_MS = 20000;

    // dataDirectory holds TovisUser.dat and TovisBackMail.dat (the program passes its current
    // directory). Loads the user table and checks the held-mail store.
    explicit CBsServerSocket(const std::string& dataDirectory);
    ~CBsServerSocket() override;
    CBsServerSocket(const CBsServerSocket&) = delete;
    CBsServerSocket& operator=(const CBsServerSocket&) = delete;

    // Listens on address (empty: every local address) and port (0: the system chooses) with a
    // backlog of 5. False, with nothing changed, when that fails.
    bool startListening(const char* address, int port);
    bool isListening() const { return m_listening; }
    int listeningPort() const { return m_listener.localPort(); }
    // Writes what can be written without waiting, holds every delivery not written whole for its
    // user, then closes every connection and the listener.
    void closeAll();

    // Who may connect (ALLOW, PERHOST); set before listening. Judged at accept, before any byte
    // is read: a refused connection is closed at once and counted.
    void setNetworkControls(const CNetworkControls& controls) { m_controls = controls; }
    // Figures since the start: mails answered done and refused, connections refused by the
    // network controls.
    int64_t mailsRelayed() const { return m_mailsRelayed; }
    int64_t mailsRefused() const { return m_mailsRefused; }
    int64_t connectionsRefused() const { return m_connectionsRefused; }
    const char* bindAddress() const { return m_bindAddress; }

    void setHoldLimit(int32_t seconds) { m_handler.setHoldLimit(seconds); }
    int32_t holdLimit() const { return m_handler.holdLimit(); }
    // The output limits (tests make them small).
    void setOutputLimits(size_t queueCap, int64_t stallMs) {
        m_queueCap = queueCap;
        m_stallMs = stallMs;
    }
    // The monotonic clock the pass uses (tests move it).
    void setClockForTests(int64_t (*clock)()) { m_clock = clock; }

    // One pass of the worker: waits at most maxWaitMs (-1: no limit) for something to do (not at
    // all when work is waiting, less when a deadline is nearer; a readable wakeFd, the worker's
    // message signal, ends the wait), then accepts, reads what arrived, judges deadlines, handles
    // at most one packet, hands over held mail that is due and writes output.
    void pollOnce(int wakeFd, int maxWaitMs);

    // Closes the user's connection in order (what is queued for it is written first) and removes
    // the user.
    void deleteUser(const char* name);

    CUserTable& users() { return m_users; }
    CHeldMailStore& store() { return m_store; }
    bool isSlotConnected(int index) const { return !m_slots[index].isFree(); }

  private:
    // CConnectionOutput
    bool sendResult(int index, int32_t type, int32_t failed, int32_t reason) override;
    bool sendResultAfterSync(int index, int32_t type, uint64_t ticket) override;
    bool sendFrame(int index, const char* frame, size_t length) override;
    int deliver(int index, int32_t time, const char* payload, size_t length, int64_t ref) override;
    void attachHeld(int index, int64_t ref) override { m_slots[index].attachRecord(ref); }
    void owesHeld(int index) override { m_slots[index].owed = true; }
    bool peerAddress(int index, std::string& out) override {
        return m_slots[index].peerAddress(out);
    }
    void scheduleHandOver(int index, const char* name, int64_t delayMs) override;

    int64_t now() const { return m_clock(); }
    // Whether the network controls let this accepted connection take a slot (counted and
    // logged when not).
    bool admit(const CTcpSocket& accepted, uint32_t& peer, int64_t nowMs);
    void countResult(int32_t type, int32_t failed);
    // A log-in refused before any name was read (reason 3), at most once a minute per address.
    void logHandshakeRefusal(int index, const char* why);
    void acceptPending(bool waiting);
    bool evictIdleSlot(int64_t nowMs);
    void updateInterest(int index);
    void updateListenerInterest();
    // Reads what has arrived on the slot and acts on the verdicts.
    void receive(int index, int64_t nowMs);
    void expireDeadlines(int64_t nowMs);
    void handOverDue(int64_t nowMs);
    void handleOne();
    void flushSlot(int index, int64_t nowMs);
    void flushAll(int64_t nowMs);
    void checkOutput(int64_t nowMs);
    // Ends the slot's connection in order; its user is unbound at once.
    void closeInOrder(int index);
    // Opens the gates of the results whose held mail the store has flushed since the last look.
    void applySyncOutcomes();
    // Ends the connection at once: every delivery not written whole is held for its user (in
    // order); the store is asked to flush them unless sync is false (routing, which asks once for
    // all it held). False when a held record could not be written.
    bool abandon(int index, bool sync = true);
    int64_t nextWakeMs(int64_t nowMs, bool& busy) const;
    void pruneLive();

    // While packets keep coming, the poller is asked once in this many passes.
    static constexpr int BUSY_PASSES_PER_LOOK = 8;
    // A slot's output leaves at once when this much is queued.
    static constexpr size_t EAGER_FLUSH_BYTES = 65536;

    CNetworkControls m_controls;
    uint32_t m_peers[SLOT_COUNT] = {};  // the address of each slot's connection
    int64_t m_mailsRelayed = 0;
    int64_t m_mailsRefused = 0;
    int64_t m_connectionsRefused = 0;

    CUserTable m_users;
    CHeldMailStore m_store;
    CRequestHandler m_handler;
    CTcpSocket m_listener;
    bool m_listening = false;
    bool m_listenerWatched = false;
    bool m_acceptWaiting = false;  // the listener reported a connection no slot could take yet
    char m_bindAddress[24] = {};
    int m_port = 0;
    CReadinessPoller m_poller;
    CActivitySignal m_syncSignal;  // raised by the store's sync thread
    uint64_t m_syncedThrough = 0;  // the sync outcomes applied so far cover this ticket
    std::vector<CHeldMailStore::SyncOutcome> m_outcomes;
    std::unique_ptr<CConnectionSlot[]> m_slots;
    // The slots in use, in index order, so that a pass looks at those only (a slot freed during
    // a pass leaves the list at the start of the next).
    std::vector<int> m_live;
    std::vector<bool> m_listed = std::vector<bool>(SLOT_COUNT);
    int m_cursor = 0;
    int m_wakeFd = -1;
    int m_busyPasses = 0;
    size_t m_queueCap = DEFAULT_QUEUE_CAP;
    int64_t m_stallMs = DEFAULT_STALL_MS;
    int64_t (*m_clock)() = nullptr;
    // Outgoing frames are built here whole.
    char m_frame[FRAME_HEADER_SIZE + PACKET_BUFFER_SIZE + 4];
};

}  // namespace tovi
