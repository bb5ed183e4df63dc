// CComposeText: the message text that the compose dialog "送信メッセージ" builds, and its checks,
// without the widgets. The text travels unchanged to the server, the message files and the view
// dialog:
//
//   "[Subject]:_["  title (0..64 bytes)  "]_"  body (0..19500 bytes, line breaks CR LF)
//
// There is no terminator and no escaping. All texts are cp932; every length is a byte count.
#pragma once

#include <string>
#include <vector>

namespace tovi {

class CComposeText {
  public:
    static constexpr int TITLE_LIMIT = 64;
    static constexpr int BODY_LIMIT = 19500;
    static constexpr int TOTAL_LIMIT = 19500;
    static const char* const OPENING;  // "[Subject]:_["
    static const char* const CLOSING;  // "]_"

    struct Verdict {
        bool accepted = false;
        // Message boxes to show, in order (cp932).
        std::vector<std::string> messages;
        // When accepted: the composed text.
        std::string text;
    };

    // Send: field limits, the empty and the too-long refusals, then the composed text.
    static Verdict check(const std::string& title, const std::string& body);
    // Cancel asks first unless both fields are empty.
    static bool cancelNeedsQuestion(const std::string& title, const std::string& body);
    // The body a reply with quotation starts with: "mail from <name>", an empty line, the quoted
    // text and a rule of 31 hyphens, each line ended by CR LF. Empty when quote is empty.
    static std::string quotationBlock(const std::string& name, const std::string& quote);

    static std::string join(const std::string& title, const std::string& body);
    // "%1 文字以内で入力してください。" with the limit.
    static std::string fieldLimitText(int limit);
};

}  // namespace tovi
