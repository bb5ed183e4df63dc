#include "client/dialogs/mail_view_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "client/connection/message_file.h"
#include "platform/cp932.h"
#include "platform/file.h"
#include "protocol/packets.h"

namespace tovi {

void CMailViewText::split(const std::string& text, std::string& title, std::string& body) {
    static const std::string opening = "[Subject]:_[";
    static const std::string closing = "]_";
    title.clear();
    const size_t open = text.find(opening);
    if (open == std::string::npos) {
        body = text;
    } else {
        const size_t start = open + opening.size();
        const size_t close = text.find(closing, start);
        if (close != std::string::npos) {
            title = text.substr(start, close - start);
            body = text.substr(close + closing.size());
        } else {
            const size_t length = std::min(UNCLOSED_TITLE, text.size() - start);
            const std::string rawTitle = text.substr(start, length);
            title = rawTitle.substr(0, cp932PrefixLength(text.substr(start), length));
            const size_t rest = start + length + closing.size();
            body = rest < text.size() ? text.substr(rest) : std::string();
        }
        title.resize(std::strlen(title.c_str()));
        title.resize(cp932PrefixLength(title, TITLE_LIMIT));
    }
    body.resize(std::strlen(body.c_str()));
}

bool CMailViewText::load(const std::string& path, int sent, std::string& title, std::string& body) {
    CFile file;
    if (!file.open(path, CFile::READ_WRITE)) return false;
    char head[CMessageFile::HEAD_SIZE];
    const size_t headBytes = sent ? 52 : CMessageFile::TOKEN_OFFSET;
    if (!file.readExact(head, headBytes)) return false;
    if (!sent) {
        // Marks the message read; the position is the token's offset.
        char zero[4] = {};
        if (!file.write(zero, sizeof zero)) return false;
    }
    char lengthField[4];
    if (!file.readExact(lengthField, sizeof lengthField)) return false;
    const int32_t length = getInt32(lengthField);
    if (length < 0 || length > TEXT_LIMIT) return false;
    std::string text(static_cast<size_t>(length), '\0');
    if (length > 0 && !file.readExact(text.data(), text.size())) return false;
    split(text, title, body);
    return true;
}

CMailViewText::SaveResult CMailViewText::save(const std::string& path, const std::string& body) {
    CFile file;
    if (!file.open(path, CFile::CREATE_TRUNCATE)) return CREATE_FAILED;
    if (!body.empty() && !file.write(body.data(), body.size())) return WRITE_FAILED;
    if (!file.close()) return WRITE_FAILED;
    return SAVED;
}

std::string CMailViewText::folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    return path.substr(0, slash);
}

}  // namespace tovi
