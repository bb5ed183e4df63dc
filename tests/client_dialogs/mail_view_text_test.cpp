// The view's split of a message text, loading (the read mark, the length bound) and saving.
#include "client/dialogs/mail_view_text.h"

#include <gtest/gtest.h>

#include "client/connection/message_file.h"
#include "dialog_test_support.h"

namespace tovi {
namespace {

using test::cp932;

struct Split {
    std::string title, body;
};
Split split(const std::string& text) {
    Split s;
    CMailViewText::split(text, s.title, s.body);
    return s;
}

TEST(MailViewText, SplitsTitleAndBodyKeepingEveryBodyByte) {
    Split s = split("[Subject]:_[abc]_xyz");
    EXPECT_EQ(s.title, "abc");
    EXPECT_EQ(s.body, "xyz");
    s = split("no marker\r\nat all");
    EXPECT_EQ(s.title, "");
    EXPECT_EQ(s.body, "no marker\r\nat all");
    // A title holding the closing marker is cut there; the rest starts the body.
    s = split("[Subject]:_[a]_b]_c");
    EXPECT_EQ(s.title, "a");
    EXPECT_EQ(s.body, "b]_c");
    // A body starting with a line break keeps both bytes.
    s = split("[Subject]:_[t]_\r\nsecond");
    EXPECT_EQ(s.body, "\r\nsecond");
    s = split(std::string("[Subject]:_[t]_ab\0cd", 20));
    EXPECT_EQ(s.body, "ab");
}

TEST(MailViewText, UnclosedAndOverlongTitles) {
    // No closing marker: 64 bytes of title, the body two bytes after them.
    Split s = split("[Subject]:_[" + std::string(64, 'T') + "..body");
    EXPECT_EQ(s.title, std::string(64, 'T'));
    EXPECT_EQ(s.body, "body");
    s = split("[Subject]:_[short");
    EXPECT_EQ(s.title, "short");
    EXPECT_EQ(s.body, "");
    // 63 single bytes then a double-byte character straddling byte 64: cut before it.
    s = split("[Subject]:_[" + std::string(63, 'T') + cp932("あ") + "xxbody");
    EXPECT_EQ(s.title, std::string(63, 'T'));
    // A closed title above 127 bytes is cut on a character boundary.
    s = split("[Subject]:_[" + std::string(126, 'T') + cp932("あ") + "]_b");
    EXPECT_EQ(s.title, std::string(126, 'T'));
    EXPECT_EQ(s.body, "b");
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
