#include "client/app/mailbox_list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "client/app/app_text.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "ui/message_boxes.h"

namespace tovi {

namespace {

const char* const OPENING = "[Subject]:_[";
const char* const CLOSING = "]_";

// The time and n of a mail file name; false for a name without digits after "_TovicR"/"_TovicS".
bool nameOrder(const std::string& name, long long& t, long long& n) {
    const size_t prefix = 7;  // "_TovicR" / "_TovicS"
    if (name.size() <= prefix) return false;
    size_t end = prefix;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
    if (end == prefix || end != name.size()) return false;
    const std::string digits = name.substr(prefix);
    // The clock has had 10 decimal digits since 2001; what follows them is n.
    const size_t timeDigits = std::min<size_t>(digits.size(), 10);
    t = std::stoll(digits.substr(0, timeDigits));
    n = digits.size() > timeDigits ? std::stoll(digits.substr(timeDigits, 9)) : -1;
    return true;
}

}  // namespace

bool CMailboxList::newerFirst(const std::string& a, const std::string& b) {
    long long ta = 0, na = 0, tb = 0, nb = 0;
    const bool okA = nameOrder(a, ta, na);
    const bool okB = nameOrder(b, tb, nb);
    if (okA != okB) return okA;
    if (!okA || (ta == tb && na == nb)) return a > b;
    if (ta != tb) return ta > tb;
    return na > nb;
}

std::string CMailboxList::formatTime(int32_t time) {
    const time_t t = time;
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) return "";
    char text[64];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d  %02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string CMailboxList::titleOf(const std::string& firstBytes) {
    const size_t open = firstBytes.find(OPENING);
    if (open == std::string::npos) return appText("なし");
    const size_t start = open + std::strlen(OPENING);
    const size_t close = firstBytes.find(CLOSING, start);
    return firstBytes.substr(start, close == std::string::npos ? std::string::npos : close - start);
}

std::vector<MailRow> CMailboxList::load(const std::string& fsDir, const std::string& userName,
                                        int box) {
    std::vector<MailRow> rows;
    std::vector<std::string> names = findFiles(
        fsDir, box == INBOX ? CMessageFile::RECEIVED_PATTERN : CMessageFile::SENT_PATTERN);
    std::sort(names.begin(), names.end(), newerFirst);
    for (const std::string& name : names) {
        if (rows.size() >= MAILBOX_LIMIT) break;
        if (name.size() > MAX_NAME_LENGTH) continue;
        CFile file;
        if (!file.open(fsDir + name, CFile::READ)) continue;
        char head[52];
        if (!file.readExact(head, sizeof head)) continue;
        char owner[NAME_BUFFER_SIZE];
        getName(head, owner);
        if (userName != owner || getInt32(head + 24) != box) continue;
        char lengthField[4];
        std::string text(TITLE_WINDOW, '\0');
        bool faulty = !file.readExact(lengthField, sizeof lengthField);
        if (!faulty) {
            const int32_t textLength = getInt32(lengthField);
            faulty = textLength < 0 || textLength > MAX_TEXT_LENGTH;
            if (!faulty) {
                text.resize(std::min<size_t>(static_cast<size_t>(textLength), TITLE_WINDOW));
                faulty = !text.empty() && !file.readExact(text.data(), text.size());
            }
        }
        if (faulty) {
            showMessage(
                appText("メールファイルに異常があります。このメールの読み込みは行いません。\n"));
            continue;
        }
        MailRow row;
        const int32_t token = getInt32(head + 48);
        const bool read = box == INBOX ? token == 0 : (token == 0 || token == 1);
        row.mark = appText(read ? "○" : "●");
        row.unread = !read;
        row.date = formatTime(getInt32(head + 20));
        if (box == SENT_BOX && token == NOTICE_TOKEN_NONE) {
            row.peer = appText("ブロードキャスト");
        } else {
            char peer[NAME_BUFFER_SIZE];
            getName(head + 28, peer);
            row.peer = peer;
        }
        row.title = titleOf(text);
        row.fileName = name;
        rows.push_back(std::move(row));
    }
    return rows;
}

bool CMailboxList::readHead(const std::string& path, MailHead& head) {
    CFile file;
    char bytes[CMessageFile::HEAD_SIZE] = {};
    if (!file.open(path, CFile::READ) || !file.readExact(bytes, 52)) return false;
    CMessageFile::decodeHead(bytes, head);
    head.textLength = 0;
    return true;
}

bool CMailboxList::readNotice(const MailHead& head, char* body, uint32_t& length) {
    if (head.box != CMessageFile::BOX_RECEIVED || head.token == 0 ||
        head.token == NOTICE_TOKEN_NONE)
        return false;
    length = static_cast<uint32_t>(buildReadNotice(body, head.peer, head.owner, head.token));
    return true;
}

}  // namespace tovi
