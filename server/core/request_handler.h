// CRequestHandler: what the server does with each whole packet a connection sends: the log-in,
// the registry requests (PKT_REGISTER, PKT_RENAME, PKT_USERLIST_REQ), and PKT_MAIL with its
// routing by send type to connected users (queued on their connections) and to the held-mail
// store for the others; and the hand-over of held mail to a user who logs in or renames itself.
//
// It sends nothing itself: answers and deliveries go to the connections through
// CConnectionOutput, which queues them (the connection table writes them out without waiting).
//
// Used by the server's worker thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/packets.h"
#include "server/core/held_mail_store.h"
#include "server/core/user_table.h"

namespace tovi {

// What became of a delivery offered to a connection.
enum DeliveryOutcome {
    DELIVERY_WRITTEN,  // live mail written whole into the connection's socket
    DELIVERY_STARTED,  // live mail written in part, the rest queued: the caller holds it too
                       // and names the record with attachHeld()
    DELIVERY_BEHIND,   // live mail that would have to wait behind the queue: the caller holds
                       // it, and the connection takes it from the store (owesHeld())
    DELIVERY_QUEUED,   // held mail queued for the connection (a hand-over)
    DELIVERY_REFUSED,  // the connection cannot take it (gone, closing, over its cap)
    DELIVERY_HELD,     // the connection ended while taking it, and held it with the rest
};

// The connections as the handlers see them.
class CConnectionOutput {
  public:
    virtual ~CConnectionOutput() = default;
    // Queues a result packet (type, failed, reason); false when the connection is gone.
    virtual bool sendResult(int index, int32_t type, int32_t failed, int32_t reason) = 0;
    // Queues a success result (type, 0, 0) that leaves only once the held-mail store's flush
    // covers ticket (and becomes (1, MAIL_HOLD_FAILED) if that flush fails).
    virtual bool sendResultAfterSync(int index, int32_t type, uint64_t ticket) = 0;
    // Queues a whole frame; false when the connection is gone.
    virtual bool sendFrame(int index, const char* frame, size_t length) = 0;
    // Offers a delivery for the user on the connection (see DeliveryOutcome). Live mail (ref -1)
    // is written at once when nothing waits before it, so that its sender is told of success
    // only for mail that is in the recipient's socket or on disk. ref >= 0: the mail is the
    // held-mail store's record ref being handed over.
    virtual int deliver(int index, int32_t time, const char* payload, size_t length,
                        int64_t ref) = 0;
    // The rest of a delivery that was DELIVERY_STARTED is the store's record ref.
    virtual void attachHeld(int index, int64_t ref) = 0;
    // Mail for the connection's user was held behind its queue: once on disk it is handed over.
    virtual void owesHeld(int index) = 0;
    virtual bool peerAddress(int index, std::string& out) = 0;
    // Held mail for name is due on the connection after delayMs (the log-in pause, or 0).
    virtual void scheduleHandOver(int index, const char* name, int64_t delayMs) = 0;
};

class CRequestHandler : private CHeldMailTarget {
  public:
    // Held mail follows an accepted log-in after this pause.
    static constexpr int64_t LOGIN_PAUSE_MS = 100;

    CRequestHandler(CUserTable& users, CHeldMailStore& store, CConnectionOutput& out)
        : m_users(users), m_store(store), m_out(out) {}

    void setHoldLimit(int32_t seconds) { m_holdLimit = seconds; }
    int32_t holdLimit() const { return m_holdLimit; }

    // A whole packet from the connection; logIn: it is the connection's first packet.
    void handlePacket(int index, bool logIn, int32_t type, const char* body, size_t length);

    // Routes one mail by its send type; returns MAIL_DONE, MAIL_UNKNOWN_USER or MAIL_HOLD_FAILED.
    // It does not wait for the disk: *ticket is the store's sync ticket that covers what was held
    // (0: nothing was held).
    int routeMail(int32_t sendType, const char* user, const char* group, const char* payload,
                  size_t length, uint64_t* ticket);
    // Hands the mail held for name over to the connection, at most maxBytes of it (*more: some
    // is left for a further call, which passes thin false); the store is thinned by the first.
    // *waiting: some is not on disk yet.
    bool redeliverHeld(int index, const char* name, size_t maxBytes = SIZE_MAX,
                       bool* more = nullptr, bool thin = true, bool* waiting = nullptr);

  private:
    void handleLogin(int index, const char* body, size_t length);
    void handleMail(int index, const char* body, size_t length);
    void handleRegister(int index, const char* body, size_t length);
    void handleRename(int index, const char* body, size_t length);
    void handleUserList(int index, const char* body, size_t length);

    // CHeldMailTarget, for the hand-over.
    bool deliverHeld(int32_t storedTime, const char* payload, size_t length, int64_t ref) override;
    bool isKnownRecipient(const char* name) override { return m_users.isKnownName(name); }
    bool isConnectedRecipient(const char* name) override {
        return m_users.findConnection(name) >= 0;
    }

    CUserTable& m_users;
    CHeldMailStore& m_store;
    CConnectionOutput& m_out;
    int32_t m_holdLimit = 0;
    int m_handOverSlot = -1;
    // A user list is built here whole: 200 records at most.
    char m_frame[FRAME_HEADER_SIZE + MAX_USERS * USERLIST_RECORD_SIZE];
};

}  // namespace tovi
