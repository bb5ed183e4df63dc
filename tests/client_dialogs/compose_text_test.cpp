// The compose rules: byte counts with double-byte characters, the refusals, the quotation block.
#include "client/dialogs/compose_text.h"

#include <gtest/gtest.h>

#include "dialog_test_support.h"

namespace tovi {
namespace {

using test::cp932;
using test::repeat;

TEST(ComposeText, JoinsTitleAndBodyBetweenTheMarkers) {
    CComposeText::Verdict v = CComposeText::check("abc", "");
    ASSERT_TRUE(v.accepted);
    EXPECT_EQ(v.text, "[Subject]:_[abc]_");
    EXPECT_EQ(v.text.size(), 17u);
    EXPECT_TRUE(v.messages.empty());
    v = CComposeText::check("", "x");
    ASSERT_TRUE(v.accepted);
    EXPECT_EQ(v.text, "[Subject]:_[]_x");
    // Double-byte characters count 2: a 64-byte title of 32 characters and a 19436-byte body.
    const std::string title = repeat(cp932("件"), 32);
    const std::string body = repeat(cp932("本文") + "\r\n", 3239) + cp932("末");
    ASSERT_EQ(title.size() + body.size(), 19500u);
    v = CComposeText::check(title, body);
    ASSERT_TRUE(v.accepted);
    EXPECT_EQ(v.text.size(), 19514u);
    EXPECT_EQ(v.text.substr(12, 64), title);
}

TEST(ComposeText, RefusesEmptyAndTooLongMessages) {
    CComposeText::Verdict v = CComposeText::check("", "");
    EXPECT_FALSE(v.accepted);
    EXPECT_EQ(v.messages, (test::Names{cp932("メッセージを入力してください。\n")}));
    v = CComposeText::check(cp932("あ").substr(0, 1), std::string(19500, 'b'));
    EXPECT_FALSE(v.accepted);
    EXPECT_EQ(v.messages,
              (test::Names{cp932("タイトルを含めたメッセージ長が19500文字を超えています。"
                                 "送信できません。現在の文字長(19501)\n")}));
}

TEST(ComposeText, OverlongQuotationIsReportedWithTheFieldLimitThenTheLength) {
    const std::string block = CComposeText::quotationBlock("a", std::string(19480, 'q'));
    const CComposeText::Verdict v = CComposeText::check("", block);
    EXPECT_FALSE(v.accepted);
    ASSERT_EQ(v.messages.size(), 2u);
    EXPECT_EQ(v.messages[0], cp932("19500 文字以内で入力してください。"));
    EXPECT_NE(v.messages[1].find("(" + std::to_string(block.size()) + ")"), std::string::npos);
    // A title beyond 64 bytes would not be read back whole: refused with its limit.
    const CComposeText::Verdict t = CComposeText::check(std::string(65, 't'), "x");
    EXPECT_FALSE(t.accepted);
    EXPECT_EQ(t.messages, (test::Names{cp932("64 文字以内で入力してください。")}));
}

TEST(ComposeText, QuotationBlockAndTheCancelQuestion) {
    const std::string block = CComposeText::quotationBlock(cp932("山田"), "line1\r\nline2");
    EXPECT_EQ(block, "mail from <" + cp932("山田") +
                         ">\r\n\r\nline1\r\nline2\r\n-------------------------------\r\n");
    EXPECT_EQ(CComposeText::quotationBlock("a", ""), "");
    EXPECT_FALSE(CComposeText::cancelNeedsQuestion("", ""));
    EXPECT_TRUE(CComposeText::cancelNeedsQuestion("", "x"));
    EXPECT_TRUE(CComposeText::cancelNeedsQuestion("t", ""));
    EXPECT_TRUE(CComposeText::cancelNeedsQuestion("", block));
}

}  // namespace
}  // namespace tovi
