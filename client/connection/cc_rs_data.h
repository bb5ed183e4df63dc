// CcRsData: the client's send worker. It owns the connection to the server: it connects, logs in
// (registering the user when needed), reads every inbound packet into slot 0 of the packet
// mailbox and writes the requests the main window leaves in slot 1. It tells the main window its
// state only through its status pair (ST_* codes and the read deadline). It never interprets a
// packet beyond the log-in sequence.
//
// Runs on its own thread. The main window creates it, start()s it, posts WM_WORKER_START with a
// WorkerStartParam, and later posts WM_WORKER_STOP or calls endAtOnce(). An ended worker never
// runs again; the main window starts a new one.
//
// Each worker owns its connection object and its cancellation (a descriptor raised once by a stop
// and never cleared): a name look-up, a connection attempt, a read or a wait ends as soon as the
// stop is given, and a worker that is still winding down never touches the connection of the
// worker that replaced it. WorkerStartParam::connection is not used.
//
// Time limits: a reply in the log-in sequence must begin within 20 s (the deadline shown to the
// main window is twice that); an inbound packet's pieces are read with 20 s each and a 40 s
// deadline that covers the read only (it is cleared before the worker waits for slot 0, and
// whenever the worker ends); a failed connection attempt is followed by the next one only after
// more than 3 s, and the third failure not yet reported ends the worker with ST_CONNECT_FAILED.
// Deliveries (PKT_MAIL) that arrive during the log-in sequence (held mail handed over right
// after the log-in) go to slot 0 like any other; the sequence then goes on waiting for its reply.
//
// An orderly stop (WM_WORKER_STOP) does not drop mail in flight: the server counts a delivery as
// handed over once it has written it, so the worker half-closes its connection and reads until
// the server closes it (at most EXIT_DRAIN_MS). Messages go into the start block's CUnsavedMail
// (the server may have handed over hundreds, which the receive worker could not store one by one
// in that time; the window writes them after the workers' stop), read notices (and everything
// when there is no such store) into slot 0 for the receive worker; only then does its status read
// ST_STOPPED.
//
// The worker never spins: between passes it waits for its socket, its message queue or a change
// of the mailbox slots.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "client/connection/packet_mailbox.h"
#include "client/connection/unsaved_mail.h"
#include "client/connection/worker_start_param.h"
#include "platform/activity_signal.h"
#include "platform/worker_thread.h"
#include "protocol/bs_client_socket.h"
#include "protocol/packets.h"

namespace tovi {

class CcRsData : public CWorkerThread {
  public:
    static constexpr int REPLY_WAIT_SECONDS = 20;
    static constexpr int PIECE_WAIT_SECONDS = 20;
    static constexpr int INBOUND_DEADLINE_SECONDS = 40;
    static constexpr int RECONNECT_SPACING_SECONDS = 3;
    // An inbound length beyond this cannot be a packet of this protocol: the stream is lost.
    static constexpr int32_t MAX_SANE_LENGTH = 1 << 20;
    // How long an orderly stop reads what the server still sends after the half-close.
    static constexpr int EXIT_DRAIN_MS = 3000;
    // Deliveries the stop may keep (what the server can have handed over in those 3 s).
    static constexpr size_t EXIT_DRAIN_KEPT = 100000;

    CcRsData() = default;
    // Ends the thread (at once, when it still runs) and waits for it.
    ~CcRsData() override;

    // The main window's forced end: from this call on nothing the worker still does touches the
    // mailbox, its cancellation is raised so that any blocked step fails, and the status pair
    // (through statusView, the main window's own view of this worker's pair) reads ST_STOPPED
    // with no read deadline. Waits a little (bounded) for the thread to end; a new worker may be
    // started whether or not it has.
    void endAtOnce(CPacketMailbox& statusView);

    // Whether this worker's own connection is open (any thread; for observers and tests).
    bool connected() const { return m_connectedFlag.load(); }

    // Log-in sequences this worker has completed (any thread). Status 0 is also what binding
    // leaves, so this tells an observer that the worker really is logged in.
    int logIns() const { return m_logIns.load(); }
    // The log-in (counted as logIns() counts them) whose connection carried the last request
    // taken from slot 1; 0 before the first (any thread). A request whose answer has not come
    // when logIns() has moved on was lost with its connection.
    int lastRequestLogIn() const { return m_lastRequestLogIn.load(); }

    // Process-wide values that outlive a worker: the time of the last failed connection attempt
    // and the count of failures not yet reported.
    static int32_t lastConnectFailure() { return s_lastConnectFailure.load(); }
    static int connectFailures() { return s_connectFailures.load(); }
    static void resetProcessStateForTests();

  protected:
    void onMessage(const ThreadMessage& message) override;
    bool onIdle() override;
    void onAbort() override;
    void exitInstance() override;

  private:
    void begin(const WorkerStartParam& param);
    void stop();
    // The stop's half-close and the reading of what is still on its way, until the server closes
    // or EXIT_DRAIN_MS have passed.
    void drainAtStop();
    // Puts the delivery in m_packet into slot 0 before until (monotonic ms); false when the slot
    // did not empty in time or the worker was ended.
    bool deliverBefore(int32_t length, int64_t until);
    // Sets the code, closes the connection, gives up the request not sent (slot 1; a packet
    // waiting whole in slot 0 stays) and ends the thread; nothing of the worker runs after it.
    void endWith(int code);
    bool finished() const { return m_finished || aborted(); }

    // 1 logged in, 0 failed silently (try again later), -1 the worker has ended.
    int connectAndLogIn();
    // Type, length and body as one block. False: the worker has ended (ST_SEND_FAILED).
    bool sendRequest(int32_t type, const char* body, size_t length);
    // Waits for and reads a reply of the expected type. False: the worker has ended.
    bool receiveReply(int32_t expectedType, int waitSeconds, ResultBody& result);
    // Reads exactly count bytes with a deadline; false when the read failed or fell short.
    bool readExact(char* dest, unsigned count, int timeoutSeconds);
    // Reads and discards count bytes (a packet too big for slot 0).
    bool skipBytes(int64_t count, int timeoutSeconds);
    // With the type already in m_packet: reads the length and the body behind it into m_packet
    // (a body too big for slot 0 is read and dropped: length is then -1). False: the worker has
    // ended (ST_RECV_FAILED).
    bool readRest(int timeoutSeconds, int32_t& length);
    // Puts the packet in m_packet (8 + length bytes) into slot 0, waiting until the slot is free.
    // False: the worker was stopped meanwhile.
    bool deliverInbound(int32_t length);
    void receiveInbound();
    void sendOutbound();
    // Waits until something may need doing: a message, the socket, a slot change, or timeoutMs.
    void waitForWork(int timeoutMs);

    // Connects this worker's own connection; false when the attempt failed or the worker was
    // stopped meanwhile.
    bool openConnection();
    void closeConnection();

    CPacketMailbox m_mailbox;
    // Guards m_connection between this thread taking a new socket and a stop interrupting it.
    std::mutex m_connectionLock;
    CBsClientSocket m_connection;
    std::atomic<bool> m_connectedFlag{false};
    CActivitySignal m_cancel;
    int m_active = 0;
    bool m_finished = false;
    char m_serverAddress[CBsClientSocket::HOST_FIELD_SIZE] = {};
    uint16_t m_port = 0;
    char m_userName[NAME_BUFFER_SIZE] = {};
    char m_groupName[NAME_BUFFER_SIZE] = {};
    int m_newRegistration = 0;
    CUnsavedMail* m_unsaved = nullptr;
    CActivitySignal m_slotSignal;
    std::atomic<int> m_logIns{0};
    std::atomic<int> m_lastRequestLogIn{0};
    char m_requestBuffer[PACKET_BUFFER_SIZE] = {};
    char m_packet[PACKET_BUFFER_SIZE] = {};
    char m_outbound[PACKET_BUFFER_SIZE] = {};

    static std::atomic<int32_t> s_lastConnectFailure;
    static std::atomic<int> s_connectFailures;
};

}  // namespace tovi
