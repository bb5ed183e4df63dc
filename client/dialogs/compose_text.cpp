#include "client/dialogs/compose_text.h"

#include <cstdio>

#include "platform/cp932.h"

namespace tovi {

const char* const CComposeText::OPENING = "[Subject]:_[";
const char* const CComposeText::CLOSING = "]_";

std::string CComposeText::join(const std::string& title, const std::string& body) {
    return OPENING + title + CLOSING + body;
}

std::string CComposeText::fieldLimitText(int limit) {
    return std::to_string(limit) + cp932Of(" 文字以内で入力してください。");
}

CComposeText::Verdict CComposeText::check(const std::string& title, const std::string& body) {
    Verdict v;
    // A field beyond its own limit can only come from a text the program put there (a long
    // quotation); typing stops at the limit.
    const bool titleTooLong = title.size() > static_cast<size_t>(TITLE_LIMIT);
    if (body.size() > static_cast<size_t>(BODY_LIMIT))
        v.messages.push_back(fieldLimitText(BODY_LIMIT));
    if (titleTooLong) v.messages.push_back(fieldLimitText(TITLE_LIMIT));
    const size_t total = title.size() + body.size();
    if (total == 0) {
        v.messages.push_back(cp932Of("メッセージを入力してください。\n"));
        return v;
    }
    if (total > static_cast<size_t>(TOTAL_LIMIT)) {
        char buf[256];
        std::snprintf(buf, sizeof buf,
                      cp932Of("タイトルを含めたメッセージ長が%d文字を超えています。送信できません。"
                              "現在の文字長(%d)\n")
                          .c_str(),
                      TOTAL_LIMIT, static_cast<int>(total));
        v.messages.push_back(buf);
        return v;
    }
    // The title is read back from the first closing marker: one longer than 64 bytes would not
    // survive the trip, so it is refused with its limit message rather than sent.
    if (titleTooLong) return v;
    v.accepted = true;
    v.text = join(title, body);
    return v;
}

bool CComposeText::cancelNeedsQuestion(const std::string& title, const std::string& body) {
    return !title.empty() || !body.empty();
}

std::string CComposeText::quotationBlock(const std::string& name, const std::string& quote) {
    if (quote.empty()) return std::string();
    return "mail from <" + name + ">\r\n\r\n" + quote + "\r\n" + std::string(31, '-') + "\r\n";
}

}  // namespace tovi
