// CMessageFile: the client's mail files in the user's mail directory, shared by received and
// sent mail, and the two flag files by which the receive worker tells the main window that a
// list changed. There is no index: the directory listing is the mailbox.
//
// Names (appended to the directory, which ends with '/'):
//   received mail   "_TovicR" t n     t: clock seconds when stored, n: 0, 1, 2 ... within t
//   sent mail       "_TovicS" t       t: the send time (the notice token of a one-user send)
//   flags           "_TovicRecvUp", "_TovicSendUp"   2 zero bytes; only their existence counts
// Received mail is listed with "_TovicR*", sent mail with "_TovicS*". A mail file is written
// under a temporary name "_Tovic~" + a random part that neither pattern matches, flushed to disk,
// then put in place (received mail: without ever replacing a file, so that clients sharing the
// directory never overwrite each other's mail); a list never sees a torn file.
//
// File layout (little-endian int32 fields, 56-byte head, then the text):
//    0  20  owner        user name of the client that stored it (NUL-padded)
//   20   4  time         received: the server's receive time; sent: the send time
//   24   4  box          0 received, 1 sent
//   28  20  peer         received: the sender; sent: the destination user (empty for groups)
//   48   4  token        received: 1 no notice wanted, 0 read, else the sender's notice token
//                        sent: 1 no notice will come, 0 read by the recipient, else send time
//   52   4  text length
//   56   .  text         cp932, no terminator
//
// Directories are cp932 texts (as stored in the settings) until fsDirectory() turns them into the
// file system's bytes. A directory leaves room for every name this class builds within 255 bytes
// of path, or it is refused (directoryFits). Any thread; no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovi {

struct MailHead {
    char owner[21] = {};
    int32_t time = 0;
    int32_t box = 0;
    char peer[21] = {};
    int32_t token = 0;
    int32_t textLength = 0;
};

class CMessageFile {
  public:
    static constexpr size_t HEAD_SIZE = 56;
    static constexpr size_t TOKEN_OFFSET = 48;
    static constexpr int32_t BOX_RECEIVED = 0;
    static constexpr int32_t BOX_SENT = 1;
    // The longest path this class builds, and the room it keeps for names behind a directory.
    static constexpr size_t MAX_PATH_BYTES = 255;
    static constexpr size_t NAME_ROOM = 40;
    // n of a received name stays below this, so that the name stays within 24 characters.
    static constexpr int MAX_RECEIVED_INDEX = 9999999;

    static const char* const RECEIVED_FLAG;     // "_TovicRecvUp"
    static const char* const SENT_FLAG;         // "_TovicSendUp"
    static const char* const RECEIVED_PATTERN;  // "_TovicR*"
    static const char* const SENT_PATTERN;      // "_TovicS*"

    static std::string receivedName(int32_t t, int n);
    static std::string sentName(int32_t t);

    // The directory (cp932) in the file system's bytes, with a '/' added when it has none (the
    // empty directory stays empty: the current directory). False when it is not valid cp932 or
    // leaves no room for the names within MAX_PATH_BYTES.
    static bool fsDirectory(const std::string& dirCp932, std::string& fsDir);
    // For the settings and the dialogs: true when the directory can hold the mail files.
    static bool directoryFits(const std::string& dirCp932) {
        std::string unused;
        return fsDirectory(dirCp932, unused);
    }

    static void encodeHead(const MailHead& head, char* out);  // out: 56 bytes
    static void decodeHead(const char* in, MailHead& head);   // in: 56 bytes

    // Writes head + text (head.textLength is set from textLength) as fsDir + name, atomically,
    // replacing a file of that name. False when any step fails; the temporary file is then
    // removed and nothing else is left.
    static bool write(const std::string& fsDir, const std::string& name, MailHead head,
                      const char* text, size_t textLength);

    // Storing a mail under a name that must be new, in two steps. writeTemporary writes head +
    // text into a new file of fsDir with a name of its own (TEMPORARY_PREFIX and a random part,
    // created exclusively, so that clients and threads sharing the directory never meet) and
    // flushes it; false (nothing left) when that fails. placeNew then gives it its final name,
    // never replacing a file: NAME_TAKEN leaves the temporary file for the next name to try,
    // PLACE_FAILED removes it.
    static bool writeTemporary(const std::string& fsDir, MailHead head, const char* text,
                               size_t textLength, std::string& temporaryPath);
    enum PlaceResult { PLACED = 1, NAME_TAKEN = 0, PLACE_FAILED = -1 };
    static PlaceResult placeNew(const std::string& temporaryPath, const std::string& fsDir,
                                const std::string& name);

    // Reads the head and, when text is given, the text. False when the file cannot be read, is
    // shorter than its head, or holds fewer text bytes than the head says (or a negative count).
    static bool read(const std::string& path, MailHead& head, std::string* text = nullptr);

    // Writes token into the token field of an existing mail file: opens it for reading and
    // writing, reads the first 48 bytes, writes the int32 at 48. With owner given, a file whose
    // owner field holds another name (another user's of a shared directory) is left alone and
    // counts as no file.
    enum TokenResult { TOKEN_WRITTEN = 1, TOKEN_NO_FILE = 0, TOKEN_FAILED = -1 };
    static TokenResult setToken(const std::string& path, int32_t token,
                                const char* owner = nullptr);

    // Creates (or truncates) the flag file with 2 zero bytes.
    static bool raiseFlag(const std::string& fsDir, const char* flagName);
    // True when the flag was there; it is removed.
    static bool takeFlag(const std::string& fsDir, const char* flagName);

    // Every temporary mail file's name begins with this (it matches no list pattern).
    static const char* const TEMPORARY_PREFIX;  // "_Tovic~"
};

}  // namespace tovi
