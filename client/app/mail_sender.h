// CMailSender: the plain steps of writing mail. The main window asks the server for its user
// list, fills CUserDirectory from the answer, runs the destination and compose dialogs, queues
// the PKT_MAIL request and writes the sent-mail file; a refused result is reported.
//
//   user-list request   int32 0 | own group (20)                              24 bytes
//   user-list answer    records of 44 bytes: int32 connected | name (20) | group (20)
//   mail request        send type | destination (20) | group (20) | kind 0 | sender (20) |
//                       notice token | text                              72 + text bytes
//   notice token        the send time for one user, 1 for every other send type
//   sent-mail file      "_TovicS" + send time, owner, send time, box 1, destination, token, text
//
// The sent-mail file is placed before the request is queued: a second message within one second
// (of this client or of another one sharing the directory) waits for the next second, so that its
// file never overwrites the first one's and its name keeps matching its notice token. Texts are
// cp932, paths the file system's bytes. Plain C++; user-interface thread.
#pragma once

#include <cstdint>
#include <string>

namespace tovi {

class CUserDirectory;

class CMailSender {
  public:
    // How long a send waits at most for a second whose sent-mail name is free.
    static constexpr int SEND_TIME_WAIT_MS = 3000;
    // Seconds tried at most for one sent-mail file.
    static constexpr int MAX_SEND_TIME_TRIES = 100;

    // PKT_USERLIST_REQ body (24 bytes) into body; returns its length.
    static uint32_t userListRequest(const std::string& ownGroup, char* body);
    // PKT_USERLIST from its length field on (int32 length, then the records): empties the
    // directory and adds the whole records the answer holds. False when adding failed.
    static bool parseUserList(const char* reply, uint32_t replyLength, CUserDirectory& directory);

    // The notice token of a message sent at sendTime.
    static int32_t noticeToken(int32_t sendType, int32_t sendTime) {
        return sendType == 1 ? sendTime : 1;
    }
    // PKT_MAIL body into body (room for 72 + text); 0 when the text is too long.
    static uint32_t mailRequest(int32_t sendType, const std::string& destName,
                                const std::string& destGroup, const std::string& sender,
                                int32_t sendTime, const std::string& text, char* body);
    // The sent-mail file, placed under "_TovicS" + sendTime without ever replacing a file (another
    // client may share the directory): a taken name moves on to the next second, waiting for it
    // to come (at most SEND_TIME_WAIT_MS in all). sendTime: in, the first second to try (now);
    // out, the second taken, which the request's notice token must carry. False when the file
    // could not be written (sendTime is then still a usable send time).
    static bool placeSentMail(const std::string& fsDir, const std::string& owner, int32_t sendType,
                              const std::string& destName, const std::string& text,
                              int32_t& sendTime);
    // The message for PKT_MAIL_RESULT (from its length field on); empty when it was accepted.
    static std::string mailResultText(const char* reply, uint32_t replyLength);
};

}  // namespace tovi
