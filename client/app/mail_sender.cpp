#include "client/app/mail_sender.h"

#include <algorithm>
#include <cstdio>

#include "client/app/app_text.h"
#include "client/connection/message_file.h"
#include "client/dialogs/user_directory.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"

namespace tovi {

uint32_t CMailSender::userListRequest(const std::string& ownGroup, char* body) {
    return static_cast<uint32_t>(buildUserListReq(body, USERLIST_FILTER_ALL, ownGroup.c_str()));
}

bool CMailSender::parseUserList(const char* reply, uint32_t replyLength,
                                CUserDirectory& directory) {
    directory.clear();
    if (replyLength < 4) return true;
    const int32_t length = getInt32(reply);
    if (length <= 0) return true;
    // Whole records only, and never past the bytes that arrived.
    const size_t available = std::min<size_t>(static_cast<size_t>(length), replyLength - 4);
    const char* body = reply + 4;
    for (size_t i = 0; i < userRecordCount(available); ++i) {
        UserRecord record;
        if (!parseUserRecord(body, available, i, record)) break;
        if (!directory.add(static_cast<uint32_t>(record.connected), record.name, record.group))
            return false;
    }
    return true;
}

uint32_t CMailSender::mailRequest(int32_t sendType, const std::string& destName,
                                  const std::string& destGroup, const std::string& sender,
                                  int32_t sendTime, const std::string& text, char* body) {
    return static_cast<uint32_t>(
        buildMail(body, sendType, destName.c_str(), destGroup.c_str(), MAIL_MESSAGE, sender.c_str(),
                  noticeToken(sendType, sendTime), text.data(), text.size()));
}

bool CMailSender::placeSentMail(const std::string& fsDir, const std::string& owner,
                                int32_t sendType, const std::string& destName,
                                const std::string& text, int32_t& sendTime) {
    MailHead head;
    snprintf(head.owner, sizeof head.owner, "%.20s", owner.c_str());
    snprintf(head.peer, sizeof head.peer, "%.20s", destName.c_str());
    head.box = CMessageFile::BOX_SENT;
    const int64_t until = monotonicMs() + SEND_TIME_WAIT_MS;
    for (int tries = 0; tries < MAX_SEND_TIME_TRIES; ++tries) {
        head.time = sendTime;
        head.token = noticeToken(sendType, sendTime);
        std::string temporary;
        if (!CMessageFile::writeTemporary(fsDir, head, text.data(), text.size(), temporary))
            return false;
        switch (CMessageFile::placeNew(temporary, fsDir, CMessageFile::sentName(sendTime))) {
            case CMessageFile::PLACED:
                return true;
            case CMessageFile::PLACE_FAILED:
                return false;
            case CMessageFile::NAME_TAKEN:
                removeFile(temporary);
                break;
        }
        // The next second, once it has come (while the wait lasts): the name keeps telling when
        // the mail was sent.
        ++sendTime;
        while (nowSeconds() < sendTime && monotonicMs() < until) sleepMs(20);
    }
    return false;
}

std::string CMailSender::mailResultText(const char* reply, uint32_t replyLength) {
    if (replyLength < 12) return "";
    const int32_t failed = getInt32(reply + 4);
    const int32_t reason = getInt32(reply + 8);
    if (failed == 0) return "";
    if (reason == MAIL_UNKNOWN_USER) return appText("送信先ユーザーは存在しませんでした。\n");
    char text[128];
    std::snprintf(text, sizeof text, "%s%d%s",
                  appText("メッセージの送信に失敗しました。code(").c_str(), failed, ")\n");
    return text;
}

}  // namespace tovi
