#include "client/connection/cc_rec_mess.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/file.h"
#include "ui/message_boxes.h"

namespace tovi {

std::atomic<int32_t> CcRecMess::s_usedNamesSecond{0};

namespace {

// "メールの保存で失敗しました。\nディスク要領が十分でないか又は、ユーザーのメールを保存するディレクトリが無い可能性があります。\n"
const std::string& saveFailedText() {
    static const std::string text = [] {
        std::string out;
        utf8ToCp932(
            "メールの保存で失敗しました。\nディスク要領が十分でないか又は、ユーザーのメールを保存す"
            "るディレクトリが無い可能性があります。\n",
            out);
        return out;
    }();
    return text;
}

// "送信メールのチェックに失敗しました。\n"
const std::string& readNoticeFailedText() {
    static const std::string text = [] {
        std::string out;
        utf8ToCp932("送信メールのチェックに失敗しました。\n", out);
        return out;
    }();
    return text;
}

// With nothing to retry, a pass waits this long at most; any slot change wakes it at once.
constexpr int IDLE_WAIT_MS = 1000;

}  // namespace

CcRecMess::~CcRecMess() {
    requestAbort();
    join();
}

void CcRecMess::endAtOnce(CPacketMailbox& statusView) {
    m_mailbox.revoke();
    requestAbort();
    statusView.setStatus(ST_STOPPED);
}

void CcRecMess::exitInstance() { m_mailbox.unwatch(&m_slotSignal); }

void CcRecMess::onMessage(const ThreadMessage& message) {
    if (finished()) return;
    if (message.id == WM_WORKER_START && message.wparam != 0) {
        begin(*reinterpret_cast<const WorkerStartParam*>(message.wparam));
    } else if (message.id == WM_WORKER_STOP) {
        stop();
    }
}

void CcRecMess::begin(const WorkerStartParam& param) {
    m_mailbox.bind(param.lock, param.mailSlots, param.status);
    m_mailbox.watch(&m_slotSignal);
    m_mailDirectory = param.mailDirectory ? param.mailDirectory : "";
    // A directory that cannot hold the names within the path limit is refused: every delivery is
    // then kept unsaved and the save-failure box tells the user, as for a missing directory.
    m_directoryUsable = CMessageFile::fsDirectory(m_mailDirectory, m_fsDirectory);
    std::strncpy(m_userName, param.userName ? param.userName : "", NAME_FIELD_SIZE);
    m_usedNames.clear();
    m_usedNames.reserve(USED_NAMES);
    m_usedNamesSecond = 0;
    if (param.unsaved != nullptr) m_unsaved = param.unsaved;
    m_nextRetryMs = 0;  // mail kept from an earlier worker is stored first
    m_active = 1;
}

void CcRecMess::stop() {
    m_active = 0;
    // The last delivery the send worker handed over at its own stop is stored (or kept, without
    // a box: nobody would answer it now) first.
    if (m_mailbox.isBound()) takeDelivery();
    m_mailbox.setStatus(ST_STOPPED);
    m_finished = true;
    quit(0);
}

bool CcRecMess::onIdle() {
    if (finished() || !m_active || !m_mailbox.isBound()) return false;
    m_slotSignal.drain();
    if ((m_unsaved->count() != 0 || m_flagOwed) && monotonicMs() >= m_nextRetryMs) {
        if (storeUnsaved()) m_failureShown = false;
        if (finished()) return false;
    }
    if (takeDelivery()) return !finished();
    int timeout = IDLE_WAIT_MS;
    if (m_unsaved->count() != 0 || m_flagOwed) {
        int64_t left = m_nextRetryMs - monotonicMs();
        timeout = left <= 0 ? 0 : static_cast<int>(left < IDLE_WAIT_MS ? left : IDLE_WAIT_MS);
    }
    const int fds[2] = {wakeFd(), m_slotSignal.fd()};
    waitForActivity(fds, 2, timeout);
    return true;
}

bool CcRecMess::takeDelivery() {
    const unsigned length = m_mailbox.peekSlot(m_packet, SLOT_INBOUND);
    if (length < FRAME_HEADER_SIZE || getInt32(m_packet) != PKT_MAIL) return false;
    // Emptied at once, so that the send worker can deliver the next packet meanwhile.
    m_mailbox.putSlot(0, nullptr, SLOT_INBOUND);
    if (finished()) return true;
    const int32_t bodyLength = getInt32(m_packet + 4);
    if (bodyLength >= 0 && static_cast<unsigned>(bodyLength) == length - FRAME_HEADER_SIZE)
        handleDelivery(m_packet + FRAME_HEADER_SIZE, static_cast<size_t>(bodyLength));
    return true;
}

void CcRecMess::handleDelivery(const char* body, size_t length) {
    // Without its fixed fields (only a client's malformed mail gives one) there is nothing to
    // store: dropped.
    KeptMail mail;
    int32_t kind = MAIL_MESSAGE;
    if (!KeptMail::fromDelivery(body, length, mail, kind)) return;

    if (kind == MAIL_READ_NOTICE) {
        if (!applyReadNotice(mail.token) && !finished()) showMessage(readNoticeFailedText(), MB_OK);
        return;
    }
    // Beyond the bound a new delivery is dropped; the kept ones keep their order.
    if (!m_unsaved->add(std::move(mail))) return;
    // Stored in turn by the next retry, after the earlier ones.
    if (m_unsaved->count() > 1 && monotonicMs() < m_nextRetryMs) return;
    if (storeUnsaved()) m_failureShown = false;
}

bool CcRecMess::storeUnsaved() {
    if (m_flagOwed && m_unsaved->count() == 0)
        m_flagOwed = !CMessageFile::raiseFlag(m_fsDirectory, CMessageFile::RECEIVED_FLAG);
    // A worker that was ended stores nothing more: the next one takes over the kept mail.
    const bool allStored = m_unsaved->storeInOrder(
        [this](const KeptMail& mail) { return !finished() && storeMail(mail); });
    if (finished()) return false;
    if (!allStored || m_flagOwed) {
        m_nextRetryMs = monotonicMs() + RETRY_INTERVAL_MS;
        if (!m_failureShown && m_active) {
            m_failureShown = true;
            showMessage(saveFailedText(), MB_OK);
        }
        return false;
    }
    return true;
}

bool CcRecMess::nameUsed(const std::string& name) const {
    for (const std::string& used : m_usedNames)
        if (used == name) return true;
    return false;
}

bool CcRecMess::storeMail(const KeptMail& mail) {
    if (!m_directoryUsable) return false;
    MailHead head;
    std::memcpy(head.owner, m_userName, sizeof head.owner);
    head.time = mail.time;
    head.box = CMessageFile::BOX_RECEIVED;
    std::memcpy(head.peer, mail.sender, sizeof head.peer);
    head.token = mail.token;
    std::string temporary;
    if (!CMessageFile::writeTemporary(m_fsDirectory, head, mail.text.data(), mail.text.size(),
                                      temporary))
        return false;

    const int32_t t = nowSeconds();
    if (t != m_usedNamesSecond) {
        m_usedNames.clear();
        m_usedNamesSecond = t;
    }
    s_usedNamesSecond.store(t);
    for (int n = 0; n <= CMessageFile::MAX_RECEIVED_INDEX; ++n) {
        if (n > 0) {
            // After a taken name: a pause, then the next n behind the same t.
            m_namePauses.fetch_add(1);
            sleepMs(m_namePauseMs.load());
        }
        const std::string name = CMessageFile::receivedName(t, n);
        if (nameUsed(name)) continue;
        // Placed only where no file is: one from an earlier run, or another client's that shares
        // the directory, is never overwritten, even when both pick the name at the same moment.
        const CMessageFile::PlaceResult placed =
            CMessageFile::placeNew(temporary, m_fsDirectory, name);
        if (placed == CMessageFile::NAME_TAKEN) continue;
        if (placed == CMessageFile::PLACE_FAILED) return false;
        if (m_usedNames.size() < USED_NAMES) m_usedNames.push_back(name);
        // The mail is stored; a flag that cannot be raised is raised again by the retries
        // (storing the mail once more would show it twice).
        m_flagOwed = !CMessageFile::raiseFlag(m_fsDirectory, CMessageFile::RECEIVED_FLAG);
        return true;
    }
    removeFile(temporary);
    return false;
}

bool CcRecMess::applyReadNotice(int32_t token) {
    if (!m_directoryUsable) return false;
    // A sent file that was deleted (or belongs to another directory, or to another user of a
    // shared one): the notice is dropped.
    const std::string path = m_fsDirectory + CMessageFile::sentName(token);
    if (token != NOTICE_TOKEN_NONE) {
        CMessageFile::TokenResult result = CMessageFile::setToken(path, 0, m_userName);
        if (result == CMessageFile::TOKEN_NO_FILE) return true;
        if (result == CMessageFile::TOKEN_FAILED) return false;
    } else if (!fileExists(path)) {
        return true;
    }
    return CMessageFile::raiseFlag(m_fsDirectory, CMessageFile::SENT_FLAG);
}

}  // namespace tovi
