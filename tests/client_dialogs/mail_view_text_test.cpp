// The view's split of a message text, loading (the read mark, the length bound) and saving.
#include "client/dialogs/mail_view_text.h"

#include <gtest/gtest.h>

#include "client/connection/message_file.h"
#include "dialog_test_support.h"

namespace tovi {
namespace {

using test::cp932;

// A closing marker inside the title cuts it there; without one the title takes at most 64 bytes
// (never half a character) and the body starts two bytes after them; a closed title above 127
// bytes is cut on a character boundary. The body keeps every byte up to a NUL.
TEST(MailViewText, SplitsTitleAndBodyKeepingEveryBodyByte) {
    const std::string T63(63, 'T'), kana = cp932("あ");
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"[Subject]:_[abc]_xyz", "abc", "xyz"},
        {"no marker\r\nat all", "", "no marker\r\nat all"},
        {"[Subject]:_[a]_b]_c", "a", "b]_c"},
        {"[Subject]:_[t]_\r\nsecond", "t", "\r\nsecond"},
        {std::string("[Subject]:_[t]_ab\0cd", 20), "t", "ab"},
        {"[Subject]:_[" + T63 + "T..body", T63 + "T", "body"},
        {"[Subject]:_[short", "short", ""},
        {"[Subject]:_[" + T63 + kana + "xxbody", T63, "xbody"},
        {"[Subject]:_[" + T63 + T63 + kana + "]_b", T63 + T63, "b"},
    };
    for (const auto& [text, title, body] : cases) {
        std::string gotTitle, gotBody;
        CMailViewText::split(text, gotTitle, gotBody);
        EXPECT_EQ(gotTitle, title) << text;
        EXPECT_EQ(gotBody, body) << text;
    }
}

std::string mailFile(const test::TempDir& dir, int32_t box, int32_t token, const std::string& text,
                     int32_t lengthField) {
    MailHead head;
    std::strcpy(head.owner, "me");
    head.box = box;
    head.token = token;
    std::string bytes(CMessageFile::HEAD_SIZE, '\0');
    CMessageFile::encodeHead(head, bytes.data());
    putInt32(bytes.data() + 52, lengthField);
    bytes += text;
    const std::string path = dir.file(box ? "_TovicS1" : "_TovicR1_0");
    EXPECT_TRUE(replaceFileAtomically(path, bytes));
    return path;
}

int32_t tokenOf(const std::string& path) {
    return getInt32(test::contents(path).data() + CMessageFile::TOKEN_OFFSET);
}

TEST(MailViewText, LoadingReceivedMailMarksItReadAndSentMailStaysAsItIs) {
    test::TempDir dir;
    const std::string text = "[Subject]:_[" + cp932("件名") + "]_" + cp932("本文") + "\r\n";
    const std::string received = mailFile(dir, 0, 777, text, static_cast<int32_t>(text.size()));
    std::string title, body;
    ASSERT_TRUE(CMailViewText::load(received, 0, title, body));
    EXPECT_EQ(title, cp932("件名"));
    EXPECT_EQ(body, cp932("本文") + "\r\n");
    EXPECT_EQ(tokenOf(received), 0);
    ASSERT_TRUE(CMailViewText::load(received, 0, title, body));  // a second opening
    EXPECT_EQ(tokenOf(received), 0);

    const std::string sent = mailFile(dir, 1, 555, text, static_cast<int32_t>(text.size()));
    const std::string before = test::contents(sent);
    ASSERT_TRUE(CMailViewText::load(sent, 1, title, body));
    EXPECT_EQ(test::contents(sent), before);
}

TEST(MailViewText, LoadRefusesBadLengthsShortFilesAndMissingFiles) {
    test::TempDir dir;
    std::string title, body;
    EXPECT_FALSE(CMailViewText::load(dir.file("none"), 0, title, body));
    EXPECT_FALSE(
        CMailViewText::load(mailFile(dir, 1, 5, std::string(20001, 'x'), 20001), 1, title, body));
    EXPECT_FALSE(CMailViewText::load(mailFile(dir, 1, 5, "abc", -1), 1, title, body));
    EXPECT_FALSE(CMailViewText::load(mailFile(dir, 1, 5, "abc", 4), 1, title, body));
    EXPECT_TRUE(
        CMailViewText::load(mailFile(dir, 1, 5, std::string(20000, 'x'), 20000), 1, title, body));
    EXPECT_EQ(body.size(), 20000u);
    ASSERT_TRUE(replaceFileAtomically(dir.file("short"), std::string(30, '\0')));
    EXPECT_FALSE(CMailViewText::load(dir.file("short"), 0, title, body));
}

TEST(MailViewText, SaveWritesTheBodyBytesAndReportsEitherFailure) {
    test::TempDir dir;
    const std::string body = cp932("一行目") + "\r\n2\r\n";
    EXPECT_EQ(CMailViewText::save(dir.file("out.txt"), body), CMailViewText::SAVED);
    EXPECT_EQ(test::contents(dir.file("out.txt")), body);
    EXPECT_EQ(CMailViewText::save(dir.file("missing/out.txt"), body), CMailViewText::CREATE_FAILED);
    CFileFaults::failWritesAfter(3);
    EXPECT_EQ(CMailViewText::save(dir.file("full.txt"), body), CMailViewText::WRITE_FAILED);
    CFileFaults::reset();
    EXPECT_EQ(CMailViewText::folderOf("/home/u/x.txt"), "/home/u");
    EXPECT_EQ(CMailViewText::folderOf("/x.txt"), "");
    EXPECT_EQ(CMailViewText::folderOf("x.txt"), "");
}

}  // namespace
}  // namespace tovi
