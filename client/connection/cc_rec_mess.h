// CcRecMess: the client's receive worker. It takes the PKT_MAIL deliveries out of slot 0 of the
// packet mailbox (every other type stays there for the main window), stores an ordinary message
// as a new received-mail file, applies a read notice to the matching sent-mail file, and raises
// the flag file that tells the main window which list changed. It never touches the connection.
//
// Runs on its own thread; the main window starts it with WM_WORKER_START (a WorkerStartParam with
// the lock, the slots, this worker's status pair, the user name and the mail directory) and ends
// it with WM_WORKER_STOP (which still takes a delivery waiting in slot 0) or endAtOnce(). Its
// message boxes go through the ui seam and hold the worker until answered. Slot 0 is emptied before
// any file is written, so a slow disk or an open box never keeps the send worker from delivering
// the next packet.
//
// A delivery that cannot be stored (directory missing, disk full) is kept, in arrival order and at
// most MAX_UNSAVED of them, and stored again about once a second; the save-failure box is shown
// once per run of failures. The kept mail lives in the CUnsavedMail of the start block when one is
// given (the connection control's, which outlives the worker), and a worker stores what it finds
// there first.
//
// Received names are unique, also between clients that share the directory: the mail is written
// under a temporary name of its own, then given the name "_TovicR" t n without ever replacing a
// file; a name this worker handed out this second, or one that exists already, is followed by a
// pause of 20 ms and the next n (t is not read again).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "client/connection/message_file.h"
#include "client/connection/packet_mailbox.h"
#include "client/connection/unsaved_mail.h"
#include "client/connection/worker_start_param.h"
#include "platform/activity_signal.h"
#include "platform/worker_thread.h"
#include "protocol/packets.h"

namespace tovi {

class CcRecMess : public CWorkerThread {
  public:
    static constexpr size_t MAX_UNSAVED = CUnsavedMail::MAX;
    static constexpr int RETRY_INTERVAL_MS = 1000;
    // The names handed out within one second that are remembered (beyond them the disk decides).
    static constexpr size_t USED_NAMES = 100;
    // The pause after a name that is taken, before the next n is tried.
    static constexpr int NAME_PAUSE_MS = 20;

    CcRecMess() = default;
    // Ends the thread and waits for it. Do not destroy a worker that may be waiting for an answer
    // to a message box from the thread that answers it; let it run out first (isRunning()).
    ~CcRecMess() override;

    // The main window's forced end: from this call on nothing the worker still does touches the
    // mailbox, and its status pair (through statusView, the main window's view of it) reads
    // ST_STOPPED. Does not wait for the thread, which may be in a message box.
    void endAtOnce(CPacketMailbox& statusView);

    // Deliveries received but not yet stored (any thread).
    size_t unsavedCount() const { return m_unsaved->count(); }
    // Pauses made after a taken name so far (any thread).
    int namePauses() const { return m_namePauses.load(); }
    // Tests: the pause's length in ms (any thread, any time).
    void setNamePauseMsForTests(int ms) { m_namePauseMs.store(ms); }

    // The second of the last received name handed out in this process (each worker keeps its own
    // list of the names of its current second).
    static int32_t usedNamesSecond() { return s_usedNamesSecond.load(); }
    static void resetProcessStateForTests() { s_usedNamesSecond.store(0); }

  protected:
    void onMessage(const ThreadMessage& message) override;
    bool onIdle() override;
    void onAbort() override { m_slotSignal.raise(); }
    void exitInstance() override;

  private:
    void begin(const WorkerStartParam& param);
    void stop();
    bool finished() const { return m_finished || aborted(); }
    // Takes a delivery waiting in slot 0 and stores it (or keeps it); false when none waits.
    bool takeDelivery();
    void handleDelivery(const char* body, size_t length);
    // Stores the kept deliveries in order until one fails; true when none is left.
    bool storeUnsaved();
    bool storeMail(const KeptMail& mail);
    bool nameUsed(const std::string& name) const;
    bool applyReadNotice(int32_t token);

    CPacketMailbox m_mailbox;
    int m_active = 0;
    bool m_finished = false;
    std::string m_mailDirectory;  // cp932, as given
    std::string m_fsDirectory;    // file system bytes, ends with '/'
    bool m_directoryUsable = false;
    char m_userName[NAME_BUFFER_SIZE] = {};
    std::vector<std::string> m_usedNames;
    int32_t m_usedNamesSecond = 0;  // the second m_usedNames belongs to
    std::atomic<int> m_namePauses{0};
    std::atomic<int> m_namePauseMs{NAME_PAUSE_MS};
    CUnsavedMail m_ownUnsaved;
    CUnsavedMail* m_unsaved = &m_ownUnsaved;
    bool m_failureShown = false;
    bool m_flagOwed = false;  // a mail was stored but its flag file could not be raised
    int64_t m_nextRetryMs = 0;
    CActivitySignal m_slotSignal;
    char m_packet[PACKET_BUFFER_SIZE] = {};

    static std::atomic<int32_t> s_usedNamesSecond;
};

}  // namespace tovi
