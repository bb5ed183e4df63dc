// CMailViewText: what the message view dialog "メッセージ表示" loads, shows and saves, without the
// widgets. Loading reads one message file (layout in client/connection/message_file.h); for a
// received message it first writes 0 over the notice token, which marks the message read. The
// text is split into title and body; the body is kept exactly as stored after the closing marker
// (CR LF line breaks), so that a reply quotes it and a save writes it byte for byte.
//
// Paths are the file system's bytes; texts are cp932. Any thread; no shared state.
#pragma once

#include <string>

namespace tovi {

class CMailViewText {
  public:
    static constexpr int TEXT_LIMIT = 20000;
    static constexpr size_t TITLE_LIMIT = 127;
    static constexpr size_t UNCLOSED_TITLE = 64;

    // Title and body of a message text. Without the opening marker the whole text is the body.
    // The title ends at the first closing marker after the opening one (64 bytes when there is
    // none, the body then starting two bytes after it) and is cut to 127 bytes on a character
    // boundary. The body ends at its first NUL byte.
    static void split(const std::string& text, std::string& title, std::string& body);

    // Loads the file (sent: 1 for the sent box, 0 for received mail, whose token is set to 0).
    // False on any failure: missing or short file, failed token write, a text length below 0 or
    // above 20000, a text cut short.
    static bool load(const std::string& path, int sent, std::string& title, std::string& body);

    enum SaveResult { SAVED = 0, CREATE_FAILED = 1, WRITE_FAILED = 2 };
    // Creates (or empties) path and writes body.
    static SaveResult save(const std::string& path, const std::string& body);
    // The folder to remember after a save to path (the part before the last '/'), "" when the
    // path has none.
    static std::string folderOf(const std::string& path);
};

}  // namespace tovi
