// CConnectionControl: the main window's side of the connection. It starts, watches, restarts and
// ends the two workers (send worker CcRsData, receive worker CcRecMess), runs the 500 ms poll
// tick over their status pairs and the packet mailbox, turns a failed status into a message box,
// an exit request or a reconnection, queues the user's requests in the outbound slot and hands
// the replies meant for the window to it.
//
// Plain C++: everything the window must do (dialogs, the exit question, the lists) is asked of
// a CConnectionHost, so that the whole table can be driven without a display. Message boxes go
// through the ui seam. User-interface thread only.
//
// Status table (the send worker's status at a tick):
//   ST_CONNECTED          -                                               keep running
//   ST_STOPPED            -                                               start a new worker
//   ST_CONNECTING         waiting dialog (connecting)                     keep running
//   ST_NAME_TAKEN         box, the registration dialog (name and group)   new worker once the name
//                         again at every tick while the refused name      differs; Cancel: the
//                         is stored; it registers the new name            exit question
//   ST_SEND_FAILED        OK/Cancel box                                   OK: reconnect; Cancel:
//                                                                         the exit question
//   ST_RECV_FAILED        -                                               reconnect; lost before
//                         (lost before the log-in was answered three      the log-in counts as a
//                         times in a row: as ST_CONNECT_FAILED)           failed attempt
//   ST_CONNECT_FAILED     OK/Cancel box; OK: the registration dialog      reconnect (unless the
//                         with the address; a stored change: restart box  exit was confirmed)
//                         and the exit question; Cancel: exit question
//   ST_ALREADY_CONNECTED  box, the exit question                          same again next tick
//   ST_REGISTER_FAILED    box, the exit question                          same again next tick
//   ST_TIMEOUT            box                                             reconnect
//   ST_PROTOCOL_ERROR     box                                             reconnect
//   anything else         -                                               -
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/packets.h"

namespace tovi {

// The connection layer is reached through pointers only: the window's header stays light.
class CClientSettings;
class CPacketMailbox;
class CUnsavedMail;
struct CMailboxStorage;

constexpr int WAIT_SENDING = 1;
constexpr int WAIT_CONNECTING = 2;

// What the connection control asks of the main window.
class CConnectionHost {
  public:
    virtual ~CConnectionHost() = default;
    // The exit question; on OK the host ends the window (and calls markClosing()).
    virtual void confirmExit() = 0;
    // The waiting dialog in mode WAIT_SENDING or WAIT_CONNECTING over the send worker's view;
    // true when the awaited condition came true, false when the user cancelled.
    virtual bool runWaitDialog(CPacketMailbox& sendView, int mode) = 0;
    // The registration dialog (firstRun: the address may be edited); true when a change was
    // stored. registrationChanged() then says whether the name or the group changed.
    virtual bool runRegisterDialog(int firstRun) = 0;
    virtual bool registrationChanged() const = 0;
    // The registration dialog for a rename (address locked), storing nothing: true when the
    // user changed the name or the group, which name and group then hold.
    virtual bool askRename(std::string& name, std::string& group) = 0;
    // Replies meant for the window (body from its length field on: int32 length, body). False
    // ends the tick.
    virtual bool onUserList(const char* reply, uint32_t length) = 0;
    virtual bool onMailResult(const char* reply, uint32_t length) = 0;
    // Both lists, reloaded from the mail files.
    virtual void reloadLists() = 0;
    // The flag files: take each one that is there, announce it and reload its list.
    virtual void checkFlagFiles() = 0;
    // The pause after a worker start: the window keeps repainting, no tick runs meanwhile.
    virtual void pause(int milliseconds) = 0;
};

class CConnectionControl {
  public:
    static constexpr int POLL_TIMER_MS = 500;
    static constexpr int START_PAUSE_MS = 2000;
    static constexpr uint32_t MAX_REQUEST_BODY = 19800;
    // Connections lost before their log-in was answered, in a row, that count as a failed
    // connection (the server keeps closing).
    static constexpr int LOST_LOG_INS_REPORTED = 3;
    // How long a request still queued at exit is given to leave.
    static constexpr int EXIT_FLUSH_SECONDS = 3;

    CConnectionControl(CClientSettings& settings, CConnectionHost& host);
    ~CConnectionControl();
    CConnectionControl(const CConnectionControl&) = delete;
    CConnectionControl& operator=(const CConnectionControl&) = delete;

    // The window's initialisation: binds the two views, takes the registration flag for the
    // first send worker, starts both workers (with the pause) and clears closing.
    void initialise(int newRegistration);

    // Starts either or both workers, then pauses (startPauseMs). A send worker is not started
    // while the exit has been confirmed, while the settings still hold a name the server refused,
    // or for an empty or 0.0.0.0 address (its status then reads ST_CONNECT_FAILED).
    bool startWorkers(bool send, bool receive);
    // Posts WM_USER + code to a running worker; true when it has already ended.
    bool postToSendWorker(int code);
    bool postToReceiveWorker(int code);
    // Stores one outbound packet: false (nothing stored) for a body above 19800 bytes, when the
    // outbound slot is still occupied after two 1 ms waits, or once the exit was confirmed.
    bool postRequest(int32_t type, const char* body, uint32_t length);
    // 1: the send worker, 2: the receive worker, else both; only a worker that runs connected (or
    // connecting) is ended. The send worker's read deadline is cleared in every case.
    void killWorkers(int which);
    // The orderly stop at the window's end: each worker gets its stop message and a little over
    // 3 s before it is ended at once.
    void stopWorkers();
    // The waiting dialog; false when the user cancelled (the send worker is then ended, and when
    // connecting, the exit question follows).
    bool waitForServer(int mode);
    // The status table; true when a new send worker is to be started.
    bool statusAction(int status);
    // The poll tick.
    void onPollTimer();
    // PKT_REGISTER_RESULT after a rename (reply from its length field on): the new name and
    // group are stored once the server accepted them.
    bool onRenameResult(const char* reply, uint32_t length);
    // The registration dialog from the menu: only name and group; a change is sent as a rename
    // and stored only when the server accepts it. A rename whose connection ends before the
    // answer is reported and not kept.
    void changeConnectionSettings();
    bool renamePending() const { return m_renamePending; }

    // At exit: gives a request still in the outbound slot up to EXIT_FLUSH_SECONDS to leave
    // while a send worker runs. True when the slot is empty.
    bool flushOutbound();

    // While held no tick runs (no worker is started): the window moves the mail files meanwhile.
    void holdTicks(bool held) { m_ticksHeld = held; }
    void markClosing() { m_closing = true; }
    bool closing() const { return m_closing; }
    bool tickBusy() const { return m_tickBusy; }
    void setStartPauseMs(int ms) { m_startPauseMs = ms; }
    int32_t requestDeadline() const { return m_requestDeadline; }
    CPacketMailbox& sendView() { return *m_sendView; }
    CPacketMailbox& receiveView() { return *m_receiveView; }
    // Whether a request waits in the outbound slot.
    bool outboundQueued() const;
    bool sendWorkerRunning() const;
    bool receiveWorkerRunning() const;
    // The send worker is logged in (it completed a log-in and reports ST_CONNECTED).
    bool loggedIn() const;
    // Deliveries received but not stored yet (the mail directory is missing or full); they are
    // kept across receive workers and stored first by the next one.
    size_t unsavedCount() const;
    // After the workers' stop: writes the mail still kept as received-mail files into fsDir
    // (made first when create is set); returns how many were written.
    size_t writeUnsaved(const std::string& fsDir, bool create = false);

  private:
    // A worker with its start block and the texts the block points at (defined in the .cpp).
    struct SendWorker;
    struct ReceiveWorker;

    bool startSendWorker();
    bool startReceiveWorker();
    // Receive workers that were ended but may still run out (one waiting for a message box).
    void reapReceiveWorkers();
    void retireReceiveWorker();
    bool connectFailedRow();
    bool nameTakenRow();
    // Notes which connection took a pending rename once it has left slot 1.
    void noteRenameLeft();
    void checkRenameDropped();

    CClientSettings& m_settings;
    CConnectionHost& m_host;
    std::unique_ptr<CMailboxStorage> m_storage;
    std::unique_ptr<CUnsavedMail> m_unsaved;
    std::unique_ptr<CPacketMailbox> m_sendView;
    std::unique_ptr<CPacketMailbox> m_receiveView;
    std::unique_ptr<SendWorker> m_send;
    std::unique_ptr<ReceiveWorker> m_receive;
    std::vector<std::unique_ptr<ReceiveWorker>> m_retired;
    int32_t m_requestDeadline = 0;
    int m_newRegistration = 0;
    bool m_closing = false;
    bool m_tickBusy = false;
    bool m_ticksHeld = false;
    int m_startPauseMs = START_PAUSE_MS;
    // A rename sent (or queued) and not yet answered. Once it has left slot 1: the send worker
    // and the log-in whose connection carried it.
    bool m_renamePending = false;
    std::string m_renameName, m_renameGroup;
    bool m_renameLeft = false;
    unsigned m_renameWorker = 0;
    int m_renameLogIn = 0;
    unsigned m_sendWorkers = 0;  // send workers started so far
    // The name the server refused to register (ST_NAME_TAKEN); no worker logs in under it.
    std::string m_refusedName;
    bool m_refusedNameKnown = false;
    int m_lostLogIns = 0;
    char m_reply[PACKET_BUFFER_SIZE] = {};
};

}  // namespace tovi
