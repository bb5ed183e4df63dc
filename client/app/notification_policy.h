// CNotificationPolicy: which desktop notification the client shows when its lists change, and
// with which texts. The main window hands it every reload of a list; it compares the rows with
// those of the previous reload:
//
//   inbox, rows that are new and unread        "新着メール"   one mail: sender, line feed, title
//                                                            several: "N 通のメールが届きました",
//                                                            then the newest one's sender and title
//   sent box, rows whose "●" turned "○"       "既読通知"    recipient, line feed, title
//                                                            several: "N 通のメールが読まれました"
//
// Only reloads caused by the receive worker's flag files announce anything (not the first load,
// a move to another directory, or the user's own sending, opening and deleting); nothing is shown
// while NOTIFY is off or while the window is the active window (the person sees the list). Events
// of one kind that follow the previous notification of that kind within MERGE_WINDOW_MS (and
// before it was clicked) are merged into it: the new notification replaces the old one and counts
// them all, so that a burst gives one notification, not a storm.
//
// Texts are cp932. Plain C++; user-interface thread.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "client/app/mailbox_list.h"
#include "ui/desktop_notifier.h"

namespace tovi {

class CNotificationPolicy {
  public:
    static constexpr int64_t MERGE_WINDOW_MS = 10000;

    // A reload of box (INBOX or SENT_BOX). announce: the reload follows the box's flag file.
    // nowMs: a monotonic clock. notifyOn: the NOTIFY setting; windowActive: the main window is
    // shown and has the focus. True, with note filled, when a notification is to be shown.
    bool reloaded(int box, const std::vector<MailRow>& rows, bool announce, bool notifyOn,
                  bool windowActive, int64_t nowMs, DesktopNote& note);

    // The person clicked (or closed) the last notification: the next event starts a new one.
    void noteDismissed(DesktopNote::Kind kind);

  private:
    struct BoxState {
        bool loaded = false;
        std::set<std::string> names;   // every file name listed
        std::set<std::string> unread;  // the names marked "●"
        int64_t lastNoteMs = 0;
        int lastCount = 0;
        bool merging = false;
    };
    BoxState m_boxes[2];
};

}  // namespace tovi
