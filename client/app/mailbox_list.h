// CMailboxList: what the inbox and the sent box show, built from the mail files of the user's
// mail directory (layout in client/connection/message_file.h). A list is rebuilt whole whenever
// something may have changed; the widgets only show the rows.
//
// Rows, newest first (by the time and the n in the file name, whatever order the directory
// gives), at most MAILBOX_LIMIT of them:
//   mark    inbox: "○" read (token 0), "●" unread; sent box: "○" token 0 or 1, "●" awaiting
//           the read notice
//   date    the file's time as local time, "YYYY/MM/DD  hh:mm:ss"
//   peer    the other party; in the sent box "ブロードキャスト" when the token is 1
//   title   what follows "[Subject]:_[" up to "]_" within the first 78 text bytes, else "なし"
// Only files owned by the user and of the box are listed. A file whose text length is negative,
// above MAX_TEXT_LENGTH or cut short is reported with the faulty-file message and left out.
//
// Texts are cp932; paths are the file system's bytes. Plain C++; user-interface thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/connection/message_file.h"

namespace tovi {

constexpr int INBOX = 0;
constexpr int SENT_BOX = 1;

struct MailRow {
    std::string mark;
    std::string date;
    std::string peer;
    std::string title;
    std::string fileName;  // the file's name in the mail directory (at most 24 bytes)
    bool unread = false;   // the mark "●": not yet opened (inbox), read notice awaited (sent box)
};

class CMailboxList {
  public:
    static constexpr size_t MAILBOX_LIMIT = 1500;
    static constexpr size_t MAX_NAME_LENGTH = 24;
    // The title window: "[Subject]:_[" (12) + 64 + "]_" (2).
    static constexpr size_t TITLE_WINDOW = 78;
    static constexpr int32_t MAX_TEXT_LENGTH = 20000;

    // The rows of box (INBOX or SENT_BOX) for userName (cp932) from fsDir (ends with '/').
    // Faulty files are reported through the ui seam.
    static std::vector<MailRow> load(const std::string& fsDir, const std::string& userName,
                                     int box);

    // The newest-first order of mail file names: by the time and n of "_TovicR" t n /
    // "_TovicS" t (t being the first 10 digits), names without them last.
    static bool newerFirst(const std::string& a, const std::string& b);

    // "%04d/%02d/%02d  %02d:%02d:%02d" of the local time.
    static std::string formatTime(int32_t time);

    // The title shown for the first bytes of a text (cp932), "なし" when it has no opening marker.
    static std::string titleOf(const std::string& firstBytes);

    // The head of a listed file for opening it. False when it cannot be read.
    static bool readHead(const std::string& path, MailHead& head);

    // The read notice for an opened received mail, or false when none is owed (token 0 or 1).
    // body: at least 72 bytes; length receives the body length.
    static bool readNotice(const MailHead& head, char* body, uint32_t& length);
};

}  // namespace tovi
