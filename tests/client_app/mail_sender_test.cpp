// The plain steps of writing mail: the user-list request and answer, the mail request, the
// sent-mail file and its name, and the mail result.
#include "client/app/mail_sender.h"

#include <gtest/gtest.h>

#include "client/connection/message_file.h"
#include "client/dialogs/user_directory.h"
#include "support/test_support.h"

namespace tovi::test {
namespace {

// The reply as the tick hands it over: from the length field on.
std::string reply(const std::string& body, int32_t length = -1) {
    return int32s({length < 0 ? static_cast<int32_t>(body.size()) : length}) + body;
}
std::string record(int32_t connected, const std::string& name, const std::string& group) {
    return int32s({connected}) + nameField(name) + nameField(group);
}

// The directory after parsing a reply, one "connected name group" entry per user.
Names parsed(const std::string& r) {
    CUserDirectory directory;
    directory.add(1, "stale", "old");
    EXPECT_TRUE(CMailSender::parseUserList(r.data(), r.size(), directory));
    Names out;
    for (int i = 0; i < directory.count(); ++i)
        out.push_back(std::to_string(directory.connected(i)) + " " + directory.name(i) + " " +
                      directory.group(i));
    return out;
}

TEST(MailSender, UserListTakesWholeRecordsOnly) {
    EXPECT_EQ(parsed(reply("")), Names{});
    const std::string twenty = "abcdefghijklmnopqrst";  // exactly 20 bytes: no terminator
    const std::string two = record(1, "alice", "sales") + record(0, twenty, cp932("営業"));
    const Names both = {"1 alice sales", "0 " + twenty + " " + cp932("営業")};
    EXPECT_EQ(parsed(reply(two)), both);
    // A length that is not a multiple of 44: the partial record is not taken.
    EXPECT_EQ(parsed(reply(two + "partial")), both);
    // A length field larger than the bytes that arrived: nothing is read past them.
    EXPECT_EQ(parsed(reply(record(1, "carol", "g"), 44 * 3)), Names{"1 carol g"});
}

TEST(MailSender, MailRequestAndSentFileCarryTheSendTimeForOneUserAndOneOtherwise) {
    TempDir dir;
    const std::string text = cp932("[Subject]:_[件名]_本文\r\n");
    char body[MAX_MAIL_BODY];
    uint32_t length =
        CMailSender::mailRequest(SEND_TO_USER, "bob", "", "alice", 1700000000, text, body);
    EXPECT_EQ(std::string(body, length), int32s({SEND_TO_USER}) + nameField("bob") + nameField("") +
                                             int32s({MAIL_MESSAGE}) + nameField("alice") +
                                             int32s({1700000000}) + text);
    length = CMailSender::mailRequest(SEND_TO_GROUP, "", "sales", "alice", 1700000000, text, body);
    EXPECT_EQ(std::string(body + 24, 20), nameField("sales"));
    EXPECT_EQ(std::string(body + 68, 4), int32s({1}));

    ASSERT_TRUE(
        CMailSender::writeSentMail(dir.path, "alice", SEND_TO_USER, 1700000000, "bob", text));
    EXPECT_EQ(contents(dir.file("_TovicS1700000000")),
              nameField("alice") + int32s({1700000000, 1}) + nameField("bob") +
                  int32s({1700000000, static_cast<int32_t>(text.size())}) + text);
    ASSERT_TRUE(CMailSender::writeSentMail(dir.path, "alice", SEND_TO_ALL, 1700000001, "", text));
    EXPECT_EQ(contents(dir.file("_TovicS1700000001")).substr(28, 24), nameField("") + int32s({1}));
    // A directory that cannot be written: false.
    EXPECT_FALSE(CMailSender::writeSentMail(dir.path + "missing/", "alice", SEND_TO_USER,
                                            1700000002, "bob", text));
}

TEST(MailSender, TwoSendsInOneSecondGetTwoFilesAndTwoTokens) {
    TempDir dir;
    const int32_t first = CMailSender::takeSendTime(dir.path);
    ASSERT_TRUE(CMailSender::writeSentMail(dir.path, "alice", SEND_TO_USER, first, "bob", "one"));
    const int32_t second = CMailSender::takeSendTime(dir.path);
    ASSERT_TRUE(CMailSender::writeSentMail(dir.path, "alice", SEND_TO_USER, second, "bob", "two"));
    EXPECT_GT(second, first);
    EXPECT_EQ(contents(dir.file(CMessageFile::sentName(first))).substr(56), "one");
    EXPECT_EQ(contents(dir.file(CMessageFile::sentName(second))).substr(48, 4), int32s({second}));
}

TEST(MailSender, MailResultTexts) {
    std::string r = reply(int32s({0, 0}));
    EXPECT_EQ(CMailSender::mailResultText(r.data(), r.size()), "");
    r = reply(int32s({1, 1}));
    EXPECT_EQ(CMailSender::mailResultText(r.data(), r.size()),
              cp932("送信先ユーザーは存在しませんでした。\n"));
    r = reply(int32s({1, 2}));
    EXPECT_EQ(CMailSender::mailResultText(r.data(), r.size()),
              cp932("メッセージの送信に失敗しました。code(1)\n"));
}

}  // namespace
}  // namespace tovi::test
