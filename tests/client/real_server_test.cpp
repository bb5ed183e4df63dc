// Against the real server (tovis as a child on a free port): the connection layer registers, logs
// in, stores a delivery as a file and marks the sender's file read at the read notice; and two
// real tovic programs sharing one mail directory each keep every broadcast, none overwritten (that
// case is skipped when tovic has not been built).
#include <map>

#include "client_test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

// Puts a request into slot 1 and takes the answer of that type out of slot 0, as the main window
// does: the answer's body, or "none".
std::string ask(ClientStack& c, int32_t type, const std::string& body, int32_t answerType) {
    std::string reply;
    if (c.put(1, frame(type, body)))
        eventually([&] { return (reply = c.slot(0)).substr(0, 4) == int32s({answerType}); }, 10000);
    c.put(0, "");
    return reply.size() < 8 ? "none" : reply.substr(8);
}
std::string send(ClientStack& c, const char* body, size_t length) {
    return ask(c, PKT_MAIL, std::string(body, length), PKT_MAIL_RESULT);
}

// Both workers of c started; true once logged in.
bool logIn(ClientStack& c) {
    return c.startReceive() && c.startSend() &&
           eventually(
               [&] { return c.sendView.getStatus() == ST_CONNECTED && c.sender.logIns() > 0; },
               10000);
}

TEST(RealServer, RegisteredUsersExchangeMailAndTheReadNoticeComesBack) {
    CScriptedMessageBoxes boxes;
    RunningServer server;
    const int port = server.port;
    // Alice has just set up: she registers after the log-in. Bob's unknown name is refused, then
    // registered.
    TempClientStack alice(port, "alice", 1), bob(port, "bob");
    ASSERT_TRUE(logIn(alice) && logIn(bob));

    // Alice sends to Bob alone and keeps her sent file, as the main window does.
    const int32_t token = nowSeconds();
    const std::string text = "[Subject]:_[hello]_how are you";
    const MailHead sent{"alice", token, CMessageFile::BOX_SENT, "bob", token};
    ASSERT_TRUE(CMessageFile::write(alice.dir, CMessageFile::sentName(token), sent, text.data(),
                                    text.size()));
    char body[PACKET_BUFFER_SIZE];
    size_t length = buildMail(body, SEND_TO_USER, "bob", "", MAIL_MESSAGE, "alice", token,
                              text.data(), text.size());
    EXPECT_EQ(send(alice, body, length), int32s({0, 0}));

    ASSERT_TRUE(eventually([&] { return bob.received().size() == 1; }, 10000));
    const std::string stored = contents(bob.dir + bob.received()[0]);  // the time is the server's
    EXPECT_EQ(stored.substr(0, 20) + stored.substr(24),
              nameField("bob") + int32s({0}) + nameField("alice") +
                  int32s({token, static_cast<int32_t>(text.size())}) + text);
    EXPECT_TRUE(
        eventually([&] { return CMessageFile::takeFlag(bob.dir, CMessageFile::RECEIVED_FLAG); }));
    // Bob opens it: his client sends the read notice with the token.
    EXPECT_EQ(send(bob, body, buildReadNotice(body, "alice", "bob", token)), int32s({0, 0}));
    ASSERT_TRUE(eventually(
        [&] { return CMessageFile::takeFlag(alice.dir, CMessageFile::SENT_FLAG); }, 10000));
    EXPECT_EQ(contents(alice.dir + CMessageFile::sentName(token)).substr(48, 4), int32s({0}));
    EXPECT_TRUE(alice.received().empty());
    EXPECT_TRUE(boxes.texts().empty());
}

// Broadcasts reach both programs at the same moments; each stores every one for its own user.
TEST(RealServer, TwoProgramsSharingAMailDirectoryEachKeepEveryBroadcast) {
    if (!fileExists(ChildProgram::path("tovic"))) GTEST_SKIP() << "no tovic built";
    constexpr int BROADCASTS = 120;
    CScriptedMessageBoxes boxes;
    TempDir root;
    RunningServer server;
    const int port = server.port;
    const std::string mail = root.path + "mail/";
    ASSERT_TRUE(makeDirectories(mail));
    const Names users = {"ann", "ben"};
    ChildProgram clients[2];
    for (int i = 0; i < 2; ++i) {
        const std::string dir = root.path + users[i] + "/";
        ASSERT_TRUE(makeDirectories(dir + "runtime"));
        ASSERT_TRUE(
            replaceFileAtomically(dir + "Tovic.ini", clientIni(port, users[i], "office", mail)));
        ASSERT_TRUE(
            clients[i].start("tovic", {"--config-dir", dir}, dir + "tovic.stderr",
                             {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + dir + "runtime"}));
    }
    // The sender registers, then waits until the server lists both programs as connected.
    TempClientStack boss(port, "boss", 1);
    ASSERT_TRUE(logIn(boss));
    ASSERT_TRUE(eventually(
        [&] {
            const std::string list =
                ask(boss, PKT_USERLIST_REQ, int32s({USERLIST_FILTER_ALL}) + nameField(""),
                    PKT_USERLIST);
            int on = 0;
            UserRecord r;
            for (size_t i = 0; list != "none" && i < userRecordCount(list.size()); ++i)
                on += parseUserRecord(list.data(), list.size(), i, r) && r.connected &&
                      r.name != std::string("boss");
            return on == 2;
        },
        20000))
        << "the two programs did not log in";

    std::multiset<std::string> expected;
    char body[PACKET_BUFFER_SIZE];
    for (int i = 0; i < BROADCASTS; ++i) {
        const std::string text = *expected.insert("[Subject]:_[all]_" + std::to_string(i));
        const size_t length = buildMail(body, SEND_TO_ALL, "", "", MAIL_MESSAGE, "boss",
                                        NOTICE_TOKEN_NONE, text.data(), text.size());
        ASSERT_EQ(send(boss, body, length), int32s({0, 0})) << i;
    }
    auto received = [&] {
        Names names = findFiles(mail, CMessageFile::RECEIVED_PATTERN);
        std::erase(names, CMessageFile::RECEIVED_FLAG);
        return names;
    };
    // Each worker pauses 20 ms after every taken name, so a burst takes a while.
    EXPECT_TRUE(eventually([&] { return received().size() >= 2 * BROADCASTS; }, 120000))
        << received().size();
    std::map<std::string, std::multiset<std::string>> byOwner;
    for (const std::string& name : received()) {
        MailHead head;
        std::string text;
        ASSERT_TRUE(CMessageFile::read(mail + name, head, &text)) << name;
        byOwner[head.owner].insert(text);
    }
    EXPECT_EQ(byOwner, (std::map<std::string, std::multiset<std::string>>{{"ann", expected},
                                                                          {"ben", expected}}));
    for (ChildProgram& c : clients) EXPECT_EQ(c.stop(SIGTERM, 10000), 0);
    EXPECT_TRUE(findFiles(mail, std::string(CMessageFile::TEMPORARY_PREFIX) + "*").empty());
}

}  // namespace
}  // namespace tovi::test
