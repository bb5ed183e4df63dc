// CBsServerSocket: the server's listening socket and the owner of all per-client state: 200
// connection slots with their input state, the user table, the held-mail store and the hold
// period. It accepts connections, runs each new connection's log-in handshake, reads every
// packet and answers it, routes mail and hands over held mail.
//
// One worker serves every connection without ever waiting inside one of them: each slot keeps
// its own input state (which piece of the frame it is reading, the bytes so far, the piece's
// deadline) and only what has arrived is parsed. Time limits a client sees:
//   - log-in: the first bytes within 10 s of the accept, then each piece (type, length, name)
//     within 5 s, else (48, 1, 3) and the connection stays open, logged out;
//   - later packets: each piece within 10000 s, else the packet is abandoned (the connection
//     stays open);
//   - held mail follows an accepted log-in after 100 ms; meanwhile only this connection waits.
// At most one packet is handled per pass, found by a rotating search that starts after the slot
// served last, so a busy client cannot starve the others.
//
// Frame checks: a length below 0 or above 20000 closes the connection (nothing is copied); a
// type outside 1..64 consumes only its 4 bytes; a packet of length 0 is consumed unanswered.
//
// Constructed on any thread before the worker runs; from then on used by the worker only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/readiness_poller.h"
#include "platform/tcp_socket.h"
#include "protocol/bs_client_socket.h"
#include "protocol/packets.h"
#include "server/core/held_mail_store.h"
#include "server/core/user_table.h"

namespace tovi {

class CBsServerSocket : private CHeldMailTarget {
  public:
    static constexpr int SLOT_COUNT = 200;
    static constexpr int LISTEN_BACKLOG = 5;
    static constexpr int64_t LOGIN_FIRST_BYTES_MS = 10000;
    static constexpr int64_t LOGIN_PIECE_MS = 5000;
    static constexpr int64_t PACKET_PIECE_MS = 10000LL * 1000;
    static constexpr int64_t REDELIVERY_PAUSE_MS = 100;
    // A client that takes none of our bytes for this long has its connection closed, so that
    // it cannot hold up the worker.
    static constexpr int SLOT_WRITE_TIMEOUT_MS = 2000;

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
    // Closes every connection and the listener.
    void closeAll();

    void setHoldLimit(int32_t seconds) { m_holdLimit = seconds; }
    int32_t holdLimit() const { return m_holdLimit; }

    // One pass of the worker: waits at most maxWaitMs (-1: no limit) for something to do (not at
    // all when a packet is complete already, less when a deadline is nearer; a readable wakeFd,
    // the worker's message signal, ends the wait), then accepts, reaps, reads what arrived,
    // enforces deadlines, handles at most one packet and hands over held mail that is due.
    void pollOnce(int wakeFd, int maxWaitMs);

    // Unbinds the users of closed slots and frees them. index: the lowest connected slot, -1
    // when none; returns whether any slot is connected.
    bool reapClosed(int& index);
    // With index -1, the next slot after the cursor holding a complete packet (the cursor moves
    // to it); otherwise whether that slot holds one.
    bool findReadable(int& index);

    // The writers close the slot when the write fails and report false.
    bool sendResult(int index, int32_t type, int32_t failed, int32_t reason);
    bool deliverLive(int index, int32_t time, const char* payload, size_t length);
    // Routes one mail by its send type; returns MAIL_DONE, MAIL_UNKNOWN_USER or MAIL_HOLD_FAILED.
    int routeMail(int32_t sendType, const char* user, const char* group, const char* payload,
                  size_t length);
    bool holdMail(const char* name, const char* payload, size_t length);
    bool redeliverHeld(int index, const char* name);
    void deleteUser(const char* name);

    CUserTable& users() { return m_users; }
    CHeldMailStore& store() { return m_store; }
    bool isSlotConnected(int index) const { return m_slots[index]->isConnected() != 0; }

  private:
    enum class Piece : uint8_t { TYPE, LENGTH, BODY };

    struct SlotInput {
        bool loggingIn = false;  // the log-in handshake is not over
        Piece piece = Piece::TYPE;
        uint32_t got = 0;  // bytes of the current piece so far
        char head[FRAME_HEADER_SIZE] = {};
        int32_t type = 0;
        int32_t length = 0;
        int64_t deadlineMs = 0;     // monotonic; 0: none
        bool complete = false;      // a whole packet waits in body
        bool readable = false;      // bytes may be waiting to be parsed
        bool watching = false;      // the poller reports this slot's data
        int64_t redeliverAtMs = 0;  // held mail is due then; 0: none
        char redeliverName[NAME_BUFFER_SIZE] = {};
        char body[PACKET_BUFFER_SIZE];
    };

    void acceptPending();
    // Frees closed slots (unbinding their users); true when any was freed.
    bool reapFreed();
    void resetPacket(SlotInput& in);
    void resetSlot(int index);
    void updateInterest(int index);
    void updateListenerInterest();
    void feedSlot(int index);
    void pieceComplete(int index);
    void expireDeadlines(int64_t now);
    void redeliverDue(int64_t now);
    int64_t nextWakeMs(int64_t now, bool& busy) const;
    void handlePacket(int index);
    void handleLogin(int index);
    void handleMail(int index, const char* body, size_t length);
    void handleRegister(int index, const char* body, size_t length);
    void handleRename(int index, const char* body, size_t length);
    void handleUserList(int index, const char* body, size_t length);
    bool writeFrame(int index, size_t length);
    void flushQueuedResults();

    // CHeldMailTarget, for the rewrite of the store during redeliverHeld.
    bool deliverHeld(int32_t storedTime, const char* payload, size_t length) override;
    bool isKnownRecipient(const char* name) override { return m_users.isKnownName(name); }

    // While packets keep coming, the poller is asked once in this many passes.
    static constexpr int BUSY_PASSES_PER_LOOK = 8;
    int m_busyPasses = 0;
    // Slots whose writers hold queued results, each once.
    bool m_resultQueued[SLOT_COUNT] = {};
    int m_queuedSlots[SLOT_COUNT] = {};
    int m_queuedCount = 0;

    CUserTable m_users;
    CHeldMailStore m_store;
    int32_t m_holdLimit = 0;
    CTcpSocket m_listener;
    bool m_listening = false;
    bool m_listenerWatched = false;
    char m_bindAddress[24] = {};
    int m_port = 0;
    CReadinessPoller m_poller;
    std::unique_ptr<CBsClientSocket> m_slots[SLOT_COUNT];
    std::unique_ptr<SlotInput[]> m_inputs;
    int m_cursor = 0;
    int m_redeliverySlot = -1;
    int m_wakeFd = -1;
    // Outgoing frames are built here whole, so that each leaves in one send.
    char m_frame[FRAME_HEADER_SIZE + PACKET_BUFFER_SIZE + 4];
};

}  // namespace tovi
