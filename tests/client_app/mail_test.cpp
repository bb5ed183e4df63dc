// The plain mail steps of the client: the lists built from hand-made mail files (marks, titles,
// peers, order, limits, faulty files), writing mail (the user-list request and answer, the mail
// request, the sent-mail file and its name, the mail result) and moving the mail files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "client/app/mail_mover.h"
#include "client/app/mail_sender.h"
#include "client/app/mailbox_list.h"
#include "client/connection/message_file.h"
#include "client/dialogs/user_directory.h"
#include "client_app_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

// The lists built from hand-made mail files: marks, titles, peers, order, limits, faulty files.
const std::string FAULTY = "メールファイルに異常があります。このメールの読み込みは行いません。\n";

template <class... Head>
void writeMail(const std::string& dir, const std::string& name, Head... head) {
    std::ofstream(dir + name, std::ios::binary) << mailBytes(head...);
}

std::vector<std::string> column(const std::vector<MailRow>& rows, std::string MailRow::*field) {
    std::vector<std::string> out;
    for (const MailRow& r : rows) out.push_back(cp932ToUtf8Lossy(r.*field));
    return out;
}

// The date is local time with a four-digit year.
TEST(MailboxList, MarksDatesPeersAndTitlesOfBothBoxes) {
    setenv("TZ", "UTC", 1);
    tzset();
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
    EXPECT_EQ(inbox[3].date, "2023/11/14  22:13:21");

    const std::vector<MailRow> sent = CMailboxList::load(dir.path, "bob", SENT_BOX);
    EXPECT_EQ(column(sent, &MailRow::mark), (Names{"○", "●", "○"}));
    EXPECT_EQ(column(sent, &MailRow::peer), (Names{"alice", "alice", "ブロードキャスト"}));
    EXPECT_EQ(column(sent, &MailRow::title), (Names{"r", "q", "全員へ"}));
    EXPECT_TRUE(boxes.texts().empty());
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

// Newest first by the time and n of the name, whatever their byte order; 1500 at most.
TEST(MailboxList, NewestFirstByTimeAndNAndOnlyTheNewest1500) {
    CScriptedMessageBoxes boxes;
    TempDir dir;
    // n = 10 sorts after n = 9 within one second; the byte order of the names would not.
    for (const char* name : {"_TovicR17000000019", "_TovicR170000000110", "_TovicR17000000020",
                             "_TovicRold", "_TovicR16999999990"})
        writeMail(dir.path, name, "bob", 1, 0, "x", 1, std::string("[Subject]:_[") + name + "]_");
    EXPECT_EQ(column(CMailboxList::load(dir.path, "bob", INBOX), &MailRow::fileName),
              (Names{"_TovicR17000000020", "_TovicR170000000110", "_TovicR17000000019",
                     "_TovicR16999999990", "_TovicRold"}));
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

    int32_t t = 1700000000;
    ASSERT_TRUE(CMailSender::placeSentMail(dir.path, "alice", SEND_TO_USER, "bob", text, t));
    EXPECT_EQ(contents(dir.file("_TovicS1700000000")),
              nameField("alice") + int32s({1700000000, 1}) + nameField("bob") +
                  int32s({1700000000, static_cast<int32_t>(text.size())}) + text);
    // A taken second (another client's file) is left alone: the next one carries the token.
    t = 1700000000;
    ASSERT_TRUE(CMailSender::placeSentMail(dir.path, "alice", SEND_TO_ALL, "", text, t));
    EXPECT_EQ(t, 1700000001);
    EXPECT_EQ(contents(dir.file("_TovicS1700000000")).substr(28, 20), nameField("bob"));
    EXPECT_EQ(contents(dir.file("_TovicS1700000001")).substr(20, 32),
              int32s({1700000001, 1}) + nameField("") + int32s({1}));
    // A directory that cannot be written: false.
    t = 1700000002;
    EXPECT_FALSE(
        CMailSender::placeSentMail(dir.path + "missing/", "alice", SEND_TO_USER, "bob", text, t));
}

// Three clients sharing one directory send at the same moment: three files, each name its token.
TEST(MailSender, SendsInOneSecondFromClientsSharingADirectoryKeepEveryFile) {
    TempDir dir;
    std::atomic<int> ready{0};
    std::vector<std::thread> clients;
    int32_t times[3] = {};
    for (int i = 0; i < 3; ++i) {
        clients.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < 3) {
            }
            times[i] = nowSeconds();
            EXPECT_TRUE(CMailSender::placeSentMail(dir.path, "alice", SEND_TO_USER, "bob",
                                                   std::to_string(i), times[i]));
        });
    }
    for (std::thread& t : clients) t.join();
    for (int i = 0; i < 3; ++i) {
        const std::string file = contents(dir.file(CMessageFile::sentName(times[i])));
        EXPECT_EQ(file.substr(56), std::to_string(i));
        EXPECT_EQ(file.substr(48, 4), int32s({times[i]}));
    }
    EXPECT_EQ(findFiles(dir.path, CMessageFile::SENT_PATTERN).size(), 3u);
}

TEST(MailSender, MailResultTexts) {
    for (const auto& [kind, reason, text] :
         {std::tuple{0, 0, ""}, std::tuple{1, 1, "送信先ユーザーは存在しませんでした。\n"},
          std::tuple{1, 2, "メッセージの送信に失敗しました。code(1)\n"}}) {
        const std::string r = reply(int32s({kind, reason}));
        EXPECT_EQ(CMailSender::mailResultText(r.data(), r.size()), cp932(text)) << reason;
    }
}

// Moving the user's mail files to a new mail directory.
std::string mailOf(const std::string& owner, const std::string& text) {
    return mailBytes(owner, 1, 0, "x", 1, text);
}

class MailMover : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(makeDirectories(from) && makeDirectories(to)); }
    // Writes the mail files {directory, name, owner, text}.
    void put(std::initializer_list<std::array<std::string, 4>> files) {
        for (const auto& [d, name, owner, text] : files)
            ASSERT_TRUE(
                replaceFileAtomically(d + name, owner.empty() ? text : mailOf(owner, text)));
    }
    TempDir root;
    const std::string from = root.path + "old/", to = root.path + "new/";
};

// Only the user's mail files move, on one file system (a link) and across two (a copy, where a
// second one can be had: /dev/shm is a tmpfs on most machines); flags, other users' mail and other
// files stay. Never over a file: that one stays behind and is counted.
TEST_F(MailMover, MovesOnlyTheUsersMailNeverOverwritesCountsWhatStaysAndCrossesFileSystems) {
    std::vector<std::string> targets{to};
    struct stat here, shm;
    struct ShmDir {
        std::string path;
        ~ShmDir() {
            if (!path.empty()) std::filesystem::remove_all(path);
        }
    } shmDir;
    char shmTemplate[] = "/dev/shm/tovi-test-XXXXXX";
    if (::stat(root.path.c_str(), &here) == 0 && ::stat("/dev/shm", &shm) == 0 &&
        here.st_dev != shm.st_dev && ::mkdtemp(shmTemplate) != nullptr) {
        shmDir.path = std::string(shmTemplate) + "/";
        targets.push_back(shmDir.path);
    }
    for (const std::string& target : targets) {
        put({{from, "_TovicS1700000001", "bob", "old one"},
             {from, "_TovicS1700000002", "bob", "moves"},
             {from, "_TovicR17000000010", "bob", "one"},
             {from, "_TovicR17000000030", "eve", "hers"},
             {from, "_TovicRecvUp", "", std::string(2, '\0')},
             {from, "notes.txt", "bob", "not mail"},
             {target, "_TovicS1700000001", "bob", "already here"}});
        CMailMover mover(from, target, "bob");
        mover.run();
        EXPECT_TRUE(mover.finished());
        EXPECT_EQ(mover.total(), 3);
        EXPECT_EQ(mover.left(), 1) << target;
        EXPECT_EQ(contents(target + "_TovicS1700000001"), mailOf("bob", "already here"));
        EXPECT_EQ(contents(from + "_TovicS1700000001"), mailOf("bob", "old one"));
        EXPECT_EQ(contents(target + "_TovicS1700000002"), mailOf("bob", "moves"));
        EXPECT_FALSE(fileExists(from + "_TovicS1700000002"));
        EXPECT_EQ(contents(target + "_TovicR17000000010"), mailOf("bob", "one"));
        // Nothing half-copied is left under a temporary name.
        EXPECT_EQ(findFiles(target, "*").size(), 3u);
        EXPECT_EQ(findFiles(from, "*"),
                  (Names{"_TovicR17000000030", "_TovicRecvUp", "_TovicS1700000001", "notes.txt"}));
        removeFile(from + "_TovicS1700000001");
    }
    if (targets.size() == 1) GTEST_SKIP() << "no second file system to copy across";
}

TEST_F(MailMover, TheSameDirectoryUnderAnotherSpellingOrNothingToMoveIsNoFailure) {
    const std::string dir = root.path + "mail/";
    ASSERT_TRUE(makeDirectories(dir) && makeDirectories(root.path + "empty/"));
    ASSERT_EQ(::symlink(dir.c_str(), (root.path + "link").c_str()), 0);
    ASSERT_TRUE(replaceFileAtomically(dir + "_TovicS1700000001", mailOf("bob", "stays")));
    EXPECT_TRUE(CMailMover::moveMailFiles(dir, root.path + "link/", "bob"));
    EXPECT_TRUE(CMailMover::moveMailFiles(dir, root.path + "mail/./", "bob"));
    EXPECT_EQ(contents(dir + "_TovicS1700000001"), mailOf("bob", "stays"));
    EXPECT_TRUE(CMailMover::moveMailFiles(root.path + "empty/", dir, "bob"));
    EXPECT_TRUE(CMailMover::moveMailFiles(root.path + "missing/", dir, "bob"));
}

}  // namespace
}  // namespace tovi::test
