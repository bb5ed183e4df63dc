// The connection layer against the real server (tovis as a child on a free port): registration,
// log-in, a delivery stored as a file, and a read notice marking the sender's file read.
#include "client_test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

// Sends a mail request through slot 1 and takes its result out of slot 0, as the main window does.
std::string send(ClientStack& c, const char* body, size_t length) {
    std::string reply;
    if (c.put(1, frame(PKT_MAIL, std::string(body, length))))
        eventually([&] { return (reply = c.slot(0)).substr(0, 4) == int32s({PKT_MAIL_RESULT}); },
                   10000);
    c.put(0, "");
    return reply.size() < 8 ? "none" : reply.substr(8);
}

TEST(RealServer, RegisteredUsersExchangeMailAndTheReadNoticeComesBack) {
    CScriptedMessageBoxes boxes;
    TempDir dir;
    const int port = freePort();
    ASSERT_TRUE(replaceFileAtomically(dir.file("Tovis.ini"),
                                      "[SERVER]\nPORT=" + std::to_string(port) + "\n"));
    ServerProcess server;
    ASSERT_TRUE(server.start(dir.path) && waitServerUp(port, 10000));
    ClientStack alice(port, "alice", 1), bob(port, "bob");
    // Alice has just set up: she registers after the log-in. Bob's unknown name is refused, then
    // registered.
    // Logged in: ST_CONNECTED after a log-in (0 alone is also what binding leaves).
    for (ClientStack* c : {&alice, &bob})
        ASSERT_TRUE(
            c->startReceive() && c->startSend() &&
            eventually(
                [&] { return c->sendView.getStatus() == ST_CONNECTED && c->sender.logIns() > 0; },
                10000));

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

}  // namespace
}  // namespace tovi::test
