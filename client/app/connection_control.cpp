#include "client/app/connection_control.h"

#include <cstring>

#include "client/app/app_text.h"
#include "client/connection/cc_rec_mess.h"
#include "client/connection/cc_rs_data.h"
#include "client/connection/mailbox_storage.h"
#include "client/connection/packet_mailbox.h"
#include "client/connection/unsaved_mail.h"
#include "client/connection/worker_start_param.h"
#include "client/dialogs/client_settings.h"
#include "platform/clock.h"
#include "protocol/packets.h"
#include "ui/message_boxes.h"

namespace tovi {

namespace {

bool runningStatus(int status) { return status == ST_CONNECTED || status == ST_CONNECTING; }

bool connectableAddress(const std::string& address) {
    return !address.empty() && address != "0.0.0.0";
}

}  // namespace

struct CConnectionControl::SendWorker {
    CcRsData thread;
    WorkerStartParam param;
    std::string address, name, group;
};

struct CConnectionControl::ReceiveWorker {
    CcRecMess thread;
    WorkerStartParam param;
    std::string name, directory;
};

CConnectionControl::CConnectionControl(CClientSettings& settings, CConnectionHost& host)
    : m_settings(settings),
      m_host(host),
      m_storage(std::make_unique<CMailboxStorage>()),
      m_unsaved(std::make_unique<CUnsavedMail>()),
      m_sendView(std::make_unique<CPacketMailbox>()),
      m_receiveView(std::make_unique<CPacketMailbox>()) {}

bool CConnectionControl::outboundQueued() const {
    return m_sendView->peekSlot(nullptr, SLOT_OUTBOUND) != 0;
}

CConnectionControl::~CConnectionControl() {
    m_closing = true;
    if (m_send) stopWorkers();
    // A receive worker that still waits for an answer on this thread cannot be joined here; it
    // is left to the end of the process.
    if (m_receive && m_receive->thread.isRunning()) {
        m_receive->thread.endAtOnce(*m_receiveView);
        m_retired.push_back(std::move(m_receive));
    }
    for (auto& worker : m_retired)
        if (worker->thread.isRunning() && !worker->thread.join(500)) (void)worker.release();
}

void CConnectionControl::initialise(int newRegistration) {
    m_sendView->bind(&m_storage->lock, &m_storage->mailSlots, &m_storage->sendStatus);
    m_receiveView->bind(&m_storage->lock, &m_storage->mailSlots, &m_storage->receiveStatus);
    m_newRegistration = newRegistration;
    m_closing = false;
    const bool wasBusy = m_tickBusy;
    m_tickBusy = true;  // no tick runs during the pause
    startWorkers(true, true);
    m_tickBusy = wasBusy;
}

bool CConnectionControl::sendWorkerRunning() const { return m_send && m_send->thread.isRunning(); }

bool CConnectionControl::receiveWorkerRunning() const {
    return m_receive && m_receive->thread.isRunning();
}

bool CConnectionControl::loggedIn() const {
    return m_send && m_send->thread.logIns() > 0 && m_sendView->getStatus() == ST_CONNECTED;
}

size_t CConnectionControl::unsavedCount() const { return m_unsaved->count(); }

size_t CConnectionControl::writeUnsaved(const std::string& fsDir, bool create) {
    return m_unsaved->writeAll(fsDir, m_settings.name().c_str(), create);
}

bool CConnectionControl::startSendWorker() {
    if (m_closing) return false;
    if (m_refusedNameKnown && m_settings.name() == m_refusedName) return false;
    // The previous worker has ended (or is ending by itself); its destructor waits for it, so
    // that the new one has the connection object to itself.
    m_send.reset();
    m_sendView->setDeadline(0);
    if (!connectableAddress(m_settings.address())) {
        m_sendView->setStatus(ST_CONNECT_FAILED);
        return false;
    }
    auto worker = std::make_unique<SendWorker>();
    worker->address = m_settings.address();
    worker->name = m_settings.name();
    worker->group = m_settings.group();
    WorkerStartParam& p = worker->param;
    p.lock = &m_storage->lock;
    p.mailSlots = &m_storage->mailSlots;
    p.status = &m_storage->sendStatus;
    p.serverAddress = worker->address.c_str();
    p.port = m_settings.port();
    p.userName = worker->name.c_str();
    p.groupName = worker->group.c_str();
    p.newRegistration = m_newRegistration;
    p.unsaved = m_unsaved.get();
    // Until the worker has bound its view, the window must not take the old status for its.
    m_sendView->setStatus(ST_CONNECTING);
    worker->thread.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&p));
    if (!worker->thread.start()) {
        m_sendView->setStatus(ST_STOPPED);
        return false;
    }
    m_send = std::move(worker);
    m_newRegistration = 0;
    noteRenameLeft();
    ++m_sendWorkers;
    return true;
}

void CConnectionControl::retireReceiveWorker() {
    if (!m_receive) return;
    m_retired.push_back(std::move(m_receive));
}

void CConnectionControl::reapReceiveWorkers() {
    for (size_t i = 0; i < m_retired.size();) {
        if (m_retired[i]->thread.isRunning()) {
            ++i;
        } else {
            m_retired.erase(m_retired.begin() + static_cast<long>(i));
        }
    }
}

bool CConnectionControl::startReceiveWorker() {
    if (m_closing) return false;
    retireReceiveWorker();
    reapReceiveWorkers();
    auto worker = std::make_unique<ReceiveWorker>();
    worker->name = m_settings.name();
    worker->directory = m_settings.dir();
    WorkerStartParam& p = worker->param;
    p.lock = &m_storage->lock;
    p.mailSlots = &m_storage->mailSlots;
    p.status = &m_storage->receiveStatus;
    p.userName = worker->name.c_str();
    p.mailDirectory = worker->directory.c_str();
    p.unsaved = m_unsaved.get();
    m_receiveView->setStatus(ST_CONNECTED);
    worker->thread.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&p));
    if (!worker->thread.start()) {
        m_receiveView->setStatus(ST_STOPPED);
        return false;
    }
    m_receive = std::move(worker);
    return true;
}

bool CConnectionControl::startWorkers(bool send, bool receive) {
    bool started = false;
    if (send) started |= startSendWorker();
    if (receive) started |= startReceiveWorker();
    if (started && m_startPauseMs > 0) m_host.pause(m_startPauseMs);
    return true;
}

bool CConnectionControl::postToSendWorker(int code) {
    if (!sendWorkerRunning()) return true;
    return m_send->thread.postMessage(WM_USER + static_cast<unsigned>(code));
}

bool CConnectionControl::postToReceiveWorker(int code) {
    if (!receiveWorkerRunning()) return true;
    return m_receive->thread.postMessage(WM_USER + static_cast<unsigned>(code));
}

bool CConnectionControl::postRequest(int32_t type, const char* body, uint32_t length) {
    if (m_closing) return false;
    for (int i = 0; i < 2 && m_sendView->peekSlot(nullptr, SLOT_OUTBOUND) != 0; ++i) sleepMs(1);
    noteRenameLeft();  // before a later request takes the slot
    if (length > MAX_REQUEST_BODY) return false;
    char packet[FRAME_HEADER_SIZE + MAX_REQUEST_BODY];
    putFrameHeader(packet, type, static_cast<int32_t>(length));
    if (length > 0) std::memcpy(packet + FRAME_HEADER_SIZE, body, length);
    const unsigned total = static_cast<unsigned>(FRAME_HEADER_SIZE + length);
    if (m_sendView->putSlot(total, packet, SLOT_OUTBOUND) != total) return false;
    m_requestDeadline = nowSeconds() + 1;
    return true;
}

void CConnectionControl::killWorkers(int which) {
    if (which != 2) {
        if (m_send && runningStatus(m_sendView->getStatus()) && m_send->thread.isRunning())
            m_send->thread.endAtOnce(*m_sendView);
        // One expired read deadline is reported once.
        m_sendView->setDeadline(0);
    }
    if (which == 1) return;
    if (m_receive && m_receiveView->getStatus() == ST_CONNECTED && m_receive->thread.isRunning()) {
        m_receive->thread.endAtOnce(*m_receiveView);
        retireReceiveWorker();
    }
}

void CConnectionControl::stopWorkers() {
    if (!m_send) return;
    // The send worker reads what the server still sends after its half-close (at most
    // EXIT_DRAIN_MS); the receive worker stores it before it is told to stop in turn.
    const int64_t until = monotonicMs() + CcRsData::EXIT_DRAIN_MS + 1000;
    postToSendWorker(20);
    sleepMs(50);
    if (runningStatus(m_sendView->getStatus())) {
        while (m_send->thread.isRunning()) {
            sleepMs(20);
            if (monotonicMs() > until) {
                killWorkers(1);
                break;
            }
        }
    }
    m_send.reset();

    const int32_t t = nowSeconds();
    postToReceiveWorker(20);
    sleepMs(100);
    if (m_receive && m_receiveView->getStatus() != ST_STOPPED) {
        while (m_receive && m_receive->thread.isRunning()) {
            sleepMs(100);
            if (nowSeconds() > t + 3) {
                killWorkers(2);
                break;
            }
        }
    }
    retireReceiveWorker();
    reapReceiveWorkers();
    // A delivery left in slot 0 by workers that had to be ended is kept with the rest.
    const unsigned length = m_sendView->peekSlot(m_reply, SLOT_INBOUND);
    if (length >= FRAME_HEADER_SIZE && getInt32(m_reply) == PKT_MAIL) {
        KeptMail mail;
        int32_t kind = MAIL_MESSAGE;
        if (KeptMail::fromDelivery(m_reply + FRAME_HEADER_SIZE, length - FRAME_HEADER_SIZE, mail,
                                   kind) &&
            kind != MAIL_READ_NOTICE)
            m_unsaved->add(std::move(mail), CcRsData::EXIT_DRAIN_KEPT);
        m_sendView->putSlot(0, nullptr, SLOT_INBOUND);
    }
}

bool CConnectionControl::flushOutbound() {
    const int64_t until = monotonicMs() + EXIT_FLUSH_SECONDS * 1000;
    while (m_sendView->peekSlot(nullptr, SLOT_OUTBOUND) != 0) {
        if (!sendWorkerRunning() || !runningStatus(m_sendView->getStatus())) return false;
        if (monotonicMs() > until) return false;
        sleepMs(20);
    }
    return true;
}

bool CConnectionControl::waitForServer(int mode) {
    if (m_host.runWaitDialog(*m_sendView, mode)) return true;
    killWorkers(1);
    if (mode != WAIT_SENDING) m_host.confirmExit();
    return false;
}

bool CConnectionControl::connectFailedRow() {
    if (showMessage(appText("サーバーに接続できません。アドレスの設定を変更しますか。\n"),
                    MB_OKCANCEL) != IDOK) {
        m_host.confirmExit();
        return true;
    }
    if (m_host.runRegisterDialog(1)) {
        showMessage(
            appText("サーバーの設定が変更されました。アプリケーションを再起動して下さい。\n"));
        m_host.confirmExit();
    }
    return true;
}

bool CConnectionControl::nameTakenRow() {
    if (m_refusedNameKnown && m_settings.name() != m_refusedName) {
        // The name was changed since: register the new one.
        m_refusedNameKnown = false;
        m_newRegistration = 1;
        return true;
    }
    if (!m_refusedNameKnown) {
        m_refusedName = m_settings.name();
        m_refusedNameKnown = true;
        showMessage(
            appText("すでに同一ユーザー名が登録されています。ユーザー名を変更してください。\n"));
    }
    if (m_host.runRegisterDialog(0) && m_settings.name() != m_refusedName) {
        m_refusedNameKnown = false;
        m_newRegistration = 1;
        return true;
    }
    m_host.confirmExit();
    return false;
}

bool CConnectionControl::statusAction(int status) {
    switch (status) {
        case ST_CONNECTED:
            if (m_send && m_send->thread.logIns() > 0) m_lostLogIns = 0;
            return false;
        case ST_STOPPED:
            return true;
        case ST_CONNECTING:
            waitForServer(WAIT_CONNECTING);
            return false;
        case ST_NAME_TAKEN:
            return nameTakenRow();
        case ST_SEND_FAILED:
            if (showMessage(appText("メッセージの送信でエラーが発生しました。サーバーに再接続を"
                                    "行いますか？\n"),
                            MB_OKCANCEL) == IDOK)
                return true;
            m_host.confirmExit();
            return false;
        case ST_RECV_FAILED:
            // The connection was lost (the server restarted, the network failed): log in again.
            // One lost before its log-in was answered is a failed connection attempt.
            if (m_send && m_send->thread.logIns() == 0) {
                if (++m_lostLogIns >= LOST_LOG_INS_REPORTED) {
                    m_lostLogIns = 0;
                    return connectFailedRow();
                }
            } else {
                m_lostLogIns = 0;
            }
            return true;
        case ST_CONNECT_FAILED:
            return connectFailedRow();
        case ST_ALREADY_CONNECTED:
            showMessage(appText("すでに同一名のユーザーが接続しています。\n"));
            m_host.confirmExit();
            return false;
        case ST_REGISTER_FAILED:
            showMessage(
                appText("サーバーへのユーザー登録数がオーバーしています。\n"
                        "アプリケーションを終了します。\n"));
            m_host.confirmExit();
            return false;
        case ST_TIMEOUT:
            showMessage(
                appText("サーバーとの通信中にタイムアウトが発生しました。再接続を行います。\n"));
            return true;
        case ST_PROTOCOL_ERROR:
            showMessage(
                appText("サーバーとの接続シーケンスでエラーが発生しました。再接続を行います。\n"));
            return true;
        default:
            return false;
    }
}

void CConnectionControl::onPollTimer() {
    if (m_tickBusy || m_closing || m_ticksHeld) return;
    m_tickBusy = true;
    struct Release {
        bool& flag;
        ~Release() { flag = false; }
    } release{m_tickBusy};
    const int32_t now = nowSeconds();
    reapReceiveWorkers();

    int status = m_sendView->getStatus();
    const int32_t deadline = m_sendView->getDeadline();
    if (deadline != 0 && deadline < now) {
        showMessage(appText("メッセージ受信中に異常がありました。\n"));
        killWorkers(1);
        status = m_sendView->getStatus();
    }
    if (m_closing) return;

    // A request the worker has not taken in time: wait for it, but only while a worker runs
    // that can take it; otherwise it stays queued for the worker this tick starts.
    if (m_requestDeadline != 0 && m_requestDeadline < now &&
        m_sendView->peekSlot(nullptr, SLOT_OUTBOUND) != 0 && runningStatus(status) &&
        sendWorkerRunning()) {
        if (!waitForServer(WAIT_SENDING)) {
            showMessage(appText("サーバーに異常があるかもしれません。\n"));
            m_host.confirmExit();
            return;
        }
        m_requestDeadline = 0;
        status = m_sendView->getStatus();
    }
    if (m_closing) return;

    if (statusAction(status) && !m_closing) startWorkers(true, false);
    if (m_closing) return;
    if (m_receiveView->getStatus() == ST_STOPPED) startWorkers(false, true);

    if (m_sendView->isBound()) {
        const unsigned length = m_sendView->peekSlot(m_reply, SLOT_INBOUND);
        if (length >= FRAME_HEADER_SIZE) {
            const int32_t type = getInt32(m_reply);
            const char* reply = m_reply + 4;
            const uint32_t replyLength = length - 4;
            switch (type) {
                case PKT_USERLIST:
                    m_sendView->putSlot(0, nullptr, SLOT_INBOUND);
                    if (!m_host.onUserList(reply, replyLength)) return;
                    break;
                case PKT_MAIL_RESULT:
                    m_sendView->putSlot(0, nullptr, SLOT_INBOUND);
                    if (!m_host.onMailResult(reply, replyLength)) return;
                    break;
                case PKT_REGISTER_RESULT:
                    m_sendView->putSlot(0, nullptr, SLOT_INBOUND);
                    if (!onRenameResult(reply, replyLength)) return;
                    break;
                case PKT_MAIL:
                    break;  // the receive worker's
                default:
                    // Nobody takes it: left there it would block every later delivery.
                    m_sendView->putSlot(0, nullptr, SLOT_INBOUND);
                    break;
            }
        } else if (length != 0) {
            m_sendView->putSlot(0, nullptr, SLOT_INBOUND);
        }
    }
    if (m_closing) return;
    checkRenameDropped();
    m_host.checkFlagFiles();
}

void CConnectionControl::noteRenameLeft() {
    if (!m_renamePending || m_renameLeft || outboundQueued()) return;
    m_renameLeft = true;
    m_renameWorker = m_sendWorkers;
    m_renameLogIn = m_send ? m_send->thread.lastRequestLogIn() : -1;
}

void CConnectionControl::checkRenameDropped() {
    noteRenameLeft();
    if (!m_renamePending || !m_renameLeft) return;
    // Sent (or discarded) and the connection that had it is gone without the answer: the server
    // keeps the old name, and so do the settings.
    if (m_renameWorker == m_sendWorkers && sendWorkerRunning() &&
        runningStatus(m_sendView->getStatus()) && m_send->thread.logIns() == m_renameLogIn)
        return;
    m_renamePending = false;
    showMessage(appText("サーバーとの接続が切れたため、ユーザー名は変更されませんでした。\n"));
}

bool CConnectionControl::onRenameResult(const char* reply, uint32_t length) {
    if (!m_renamePending) return true;  // no rename asked: nothing to store
    m_renamePending = false;
    const int32_t bodyLength = length >= 4 ? getInt32(reply) : 0;
    const int32_t failed = (bodyLength >= 4 && length >= 8) ? getInt32(reply + 4) : 1;
    if (failed == 0) {
        // The server knows the new name now: only now is it stored.
        m_settings.setIdentity(m_renameName.c_str(), m_renameGroup.c_str(), nullptr);
        // Later mail is stored under the new name: the receive worker starts again with it.
        postToReceiveWorker(20);
        m_host.reloadLists();
        return true;
    }
    showMessage(appText("ユーザーは既に使用されています。\n"));
    return false;
}

void CConnectionControl::changeConnectionSettings() {
    if (m_renamePending) return;  // one rename at a time; its answer comes within a few ticks
    std::string name, group;
    if (!m_host.askRename(name, group)) return;
    char body[REGISTER_BODY_SIZE];
    buildRegister(body, name.c_str(), group.c_str());
    if (!postRequest(PKT_RENAME, body, REGISTER_BODY_SIZE)) {
        showMessage(appText("メッセージの送信に失敗しました。\n"));
        return;
    }
    m_renamePending = true;
    m_renameLeft = false;
    m_renameName = name;
    m_renameGroup = group;
}

}  // namespace tovi
