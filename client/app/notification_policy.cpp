#include "client/app/notification_policy.h"

#include "client/app/app_text.h"

namespace tovi {

bool CNotificationPolicy::reloaded(int box, const std::vector<MailRow>& rows, bool announce,
                                   bool notifyOn, bool windowActive, int64_t nowMs,
                                   DesktopNote& note) {
    if (box != INBOX && box != SENT_BOX) return false;
    BoxState& state = m_boxes[box];
    const MailRow* newest = nullptr;
    int events = 0;
    std::set<std::string> names, unread;
    for (const MailRow& row : rows) {
        names.insert(row.fileName);
        if (row.unread) unread.insert(row.fileName);
        // Inbox: a mail not listed before and not yet opened. Sent box: a mail that awaited its
        // read notice and no longer does.
        const bool event = box == INBOX ? row.unread && state.names.count(row.fileName) == 0
                                        : !row.unread && state.unread.count(row.fileName) != 0;
        if (!event) continue;
        if (newest == nullptr) newest = &row;  // rows come newest first
        ++events;
    }
    const bool firstLoad = !state.loaded;
    state.loaded = true;
    state.names.swap(names);
    state.unread.swap(unread);
    if (firstLoad || !announce || !notifyOn || windowActive || events == 0) return false;

    const bool merge = state.merging && nowMs - state.lastNoteMs <= MERGE_WINDOW_MS;
    note = DesktopNote();
    note.kind = box == INBOX ? DesktopNote::NEW_MAIL : DesktopNote::READ_NOTICE;
    note.count = events + (merge ? state.lastCount : 0);
    note.replacesLast = merge;
    note.summary = appText(box == INBOX ? "新着メール" : "既読通知");
    const std::string line = newest->peer + "\n" + newest->title;
    if (note.count == 1) {
        note.body = line;
    } else {
        note.body =
            std::to_string(note.count) +
            appText(box == INBOX ? " 通のメールが届きました" : " 通のメールが読まれました") + "\n" +
            line;
    }
    state.lastNoteMs = nowMs;
    state.lastCount = note.count;
    state.merging = true;
    return true;
}

void CNotificationPolicy::noteDismissed(DesktopNote::Kind kind) {
    m_boxes[kind == DesktopNote::NEW_MAIL ? INBOX : SENT_BOX].merging = false;
}

}  // namespace tovi
