// The lists built from hand-made mail files: marks, titles, peers, order, limits, faulty files.
#include "client/app/mailbox_list.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

const std::string FAULTY = "メールファイルに異常があります。このメールの読み込みは行いません。\n";

void writeMail(const std::string& dir, const std::string& name, const std::string& owner,
               int32_t time, int32_t box, const std::string& peer, int32_t token,
               const std::string& text, int32_t lengthField = -1) {
    const std::string bytes =
        nameField(owner) + int32s({time, box}) + nameField(peer) +
        int32s({token, lengthField == -1 ? static_cast<int32_t>(text.size()) : lengthField}) + text;
    std::ofstream(dir + name, std::ios::binary) << bytes;
}

std::vector<std::string> column(const std::vector<MailRow>& rows, std::string MailRow::*field) {
    std::vector<std::string> out;
    for (const MailRow& r : rows) out.push_back(cp932ToUtf8Lossy(r.*field));
    return out;
}

TEST(MailboxList, MarksPeersAndTitlesOfBothBoxes) {
    CScriptedMessageBoxes boxes;
    TempDir dir;
    const std::string title64(64, 't');
    writeMail(dir.path, "_TovicR17000000010", "bob", 1700000001, 0, "alice", 1700000000,
              "[Subject]:_[hi]_body");
    writeMail(dir.path, "_TovicR17000000020", "bob", 1700000002, 0, "carol", 0, "no marker");
    writeMail(dir.path, "_TovicR17000000030", "bob", 1700000003, 0, "dave", 1,
              "[Subject]:_[" + title64 + "]_x");
    writeMail(dir.path, "_TovicR17000000040", "bob", 1700000004, 0, "erin", 1,
              "[Subject]:_[" + title64 + "zz]_x");
    writeMail(dir.path, "_TovicS1700000005", "bob", 1700000005, 1, "", 1,
              cp932("[Subject]:_[全員へ]_本文"));
    writeMail(dir.path, "_TovicS1700000006", "bob", 1700000006, 1, "alice", 1700000006,
              "[Subject]:_[q]_");
    writeMail(dir.path, "_TovicS1700000007", "bob", 1700000007, 1, "alice", 0, "[Subject]:_[r]_");

    const std::vector<MailRow> inbox = CMailboxList::load(dir.path, "bob", INBOX);
    EXPECT_EQ(column(inbox, &MailRow::mark), (Names{"●", "●", "○", "●"}));
    EXPECT_EQ(column(inbox, &MailRow::peer), (Names{"erin", "dave", "carol", "alice"}));
    // A 64-byte title is whole; a longer one is cut by the 78-byte window.
    EXPECT_EQ(column(inbox, &MailRow::title), (Names{title64 + "zz", title64, "なし", "hi"}));
    EXPECT_EQ(inbox[3].fileName, "_TovicR17000000010");

    const std::vector<MailRow> sent = CMailboxList::load(dir.path, "bob", SENT_BOX);
    EXPECT_EQ(column(sent, &MailRow::mark), (Names{"○", "●", "○"}));
    EXPECT_EQ(column(sent, &MailRow::peer), (Names{"alice", "alice", "ブロードキャスト"}));
    EXPECT_EQ(column(sent, &MailRow::title), (Names{"r", "q", "全員へ"}));
    EXPECT_TRUE(boxes.texts().empty());
}

TEST(MailboxList, DateIsLocalTimeWithFourDigitYear) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(CMailboxList::formatTime(1700000001), "2023/11/14  22:13:21");
}

// Other users' mail, the other box, unreadable files and long names are skipped silently; a
// faulty file is reported and left out while the rest loads.
TEST(MailboxList, SkippedFilesAndFaultyFiles) {
    CScriptedMessageBoxes boxes;
    TempDir dir;
    writeMail(dir.path, "_TovicR17000000010", "bob", 1, 0, "x", 1, "[Subject]:_[ok]_");
    writeMail(dir.path, "_TovicR17000000011", "Bob", 1, 0, "x", 1, "[Subject]:_[a]_");
    writeMail(dir.path, "_TovicR17000000012", "bob", 1, 1, "x", 1, "[Subject]:_[b]_");
    ASSERT_TRUE(replaceFileAtomically(dir.file("_TovicR17000000013"), std::string(51, 'b')));
    ASSERT_TRUE(replaceFileAtomically(dir.file("_TovicRecvUp"), std::string(2, '\0')));
    writeMail(dir.path, "_TovicR170000000500000000000", "bob", 1, 0, "x", 1, "[Subject]:_[l]_");
    writeMail(dir.path, "_TovicR17000000020", "bob", 2, 0, "x", 1, "short", 40);  // cut short
    writeMail(dir.path, "_TovicR17000000030", "bob", 3, 0, "x", 1, "", -5);       // negative
    writeMail(dir.path, "_TovicR17000000040", "bob", 4, 0, "x", 1, "", 1 << 30);  // oversized
    // A length beyond the file is not noticed while the 78 bytes of the title window are there.
    writeMail(dir.path, "_TovicR17000000050", "bob", 5, 0, "x", 1,
              "[Subject]:_[w]_" + std::string(65, 'y'), 100);
    ASSERT_TRUE(replaceFileAtomically(
        dir.file("_TovicR17000000060"),
        nameField("bob") + int32s({6, 0}) + nameField("x") + int32s({1})));  // no length field
    const std::vector<MailRow> rows = CMailboxList::load(dir.path, "bob", INBOX);
    EXPECT_EQ(column(rows, &MailRow::title), (Names{"w", "ok"}));
    EXPECT_EQ(boxes.texts(), Names(4, cp932(FAULTY.c_str())));
    // A box whose pattern matches nothing is empty.
    EXPECT_TRUE(CMailboxList::load(dir.path, "bob", SENT_BOX).empty());
}

TEST(MailboxList, NewestFirstByTimeAndNWhateverTheNameOrder) {
    CScriptedMessageBoxes boxes;
    TempDir dir;
    // n = 10 sorts after n = 9 within one second; the byte order of the names would not.
    for (const char* name : {"_TovicR17000000019", "_TovicR170000000110", "_TovicR17000000020",
                             "_TovicRold", "_TovicR16999999990"})
        writeMail(dir.path, name, "bob", 1, 0, "x", 1, std::string("[Subject]:_[") + name + "]_");
    EXPECT_EQ(column(CMailboxList::load(dir.path, "bob", INBOX), &MailRow::fileName),
              (Names{"_TovicR17000000020", "_TovicR170000000110", "_TovicR17000000019",
                     "_TovicR16999999990", "_TovicRold"}));
}

TEST(MailboxList, ListsTheNewest1500Of1501) {
    CScriptedMessageBoxes boxes;
    TempDir dir;
    for (int i = 0; i < 1501; ++i)
        writeMail(dir.path, CMessageFile::sentName(1700000000 + i), "bob", i, 1, "p", 1, "t");
    // Another user's mail does not take a place.
    writeMail(dir.path, CMessageFile::sentName(1800000000), "eve", 0, 1, "p", 1, "t");
    const std::vector<MailRow> rows = CMailboxList::load(dir.path, "bob", SENT_BOX);
    ASSERT_EQ(rows.size(), 1500u);
    EXPECT_EQ(rows.front().fileName, CMessageFile::sentName(1700001500));
    EXPECT_EQ(rows.back().fileName, CMessageFile::sentName(1700000001));
}

TEST(MailboxList, ReadNoticeIsOwedOnlyForAnUnreadInboxMailWithAToken) {
    MailHead head{"bob", 5, CMessageFile::BOX_RECEIVED, "alice", 1700000000};
    char body[MAIL_HEADER_SIZE];
    uint32_t length = 0;
    ASSERT_TRUE(CMailboxList::readNotice(head, body, length));
    EXPECT_EQ(std::string(body, length), int32s({SEND_TO_USER}) + nameField("alice") +
                                             nameField("") + int32s({MAIL_READ_NOTICE}) +
                                             nameField("bob") + int32s({1700000000}));
    for (int32_t token : {0, 1}) {
        head.token = token;
        EXPECT_FALSE(CMailboxList::readNotice(head, body, length)) << token;
    }
    head.token = 1700000000;
    head.box = CMessageFile::BOX_SENT;
    EXPECT_FALSE(CMailboxList::readNotice(head, body, length));
}

}  // namespace
}  // namespace tovi::test
