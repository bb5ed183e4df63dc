// One connection never holds up the others: stalls, silence, and the full connection table.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "protocol/packets.h"
#include "server_fixture.h"

namespace tovi::test {
namespace {

TEST(Isolation, StalledAndSilentConnectionsCostTheOthersNothing) {
    CTempDir dir;
    CServerUnderTest server(dir.path());
    ASSERT_TRUE(server.start());
    auto a = server.connectUser("a", "g");
    auto b = server.connectUser("b", "g");
    auto stuck = server.connectUser("stuck", "g");
    ASSERT_TRUE(a && b && stuck);
    // Stops in the middle of a mail, and a new connection that says nothing.
    const std::string stuckMail = mailBody(SEND_TO_USER, "b", "", "stuck", "finally");
    ASSERT_TRUE(stuck->sendRaw(int32Bytes(PKT_MAIL) +
                               int32Bytes(static_cast<int32_t>(stuckMail.size())) +
                               stuckMail.substr(0, 10)));
    CTestClient silent;
    ASSERT_TRUE(silent.connect(server.port()));
    CTestClient halfLogIn;
    ASSERT_TRUE(halfLogIn.connect(server.port()));
    ASSERT_TRUE(halfLogIn.sendRaw(int32Bytes(PKT_LOGIN) + "\x14"));

    const int64_t start = monotonicMs();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(a->sendMail(mailBody(SEND_TO_USER, "b", "", "a", "x")), MAIL_DONE);
        Frame f;
        ASSERT_TRUE(b->readFrame(f, 1000));
    }
    auto late = server.connectUser("late", "g");
    ASSERT_TRUE(late);
    EXPECT_LT(monotonicMs() - start, 3000);  // bound, not a benchmark: the stalls take 5-10 s

    // The stuck mail completes later and is routed and answered.
    ASSERT_TRUE(stuck->sendRaw(stuckMail.substr(10)));
    Frame f;
    ASSERT_TRUE(stuck->readFrame(f));
    EXPECT_EQ(f.type, PKT_MAIL_RESULT);
    EXPECT_EQ(f.int32At(4), MAIL_DONE);
    ASSERT_TRUE(b->readFrame(f));
    EXPECT_EQ(f.body.substr(32), "finally");
}

TEST(Isolation, AClientThatNeverReadsIsDisconnectedNotWaitedFor) {
    CTempDir dir;
    CServerUnderTest server(dir.path());
    ASSERT_TRUE(server.start());
    auto sender = server.connectUser("sender", "g");
    auto deaf = server.connectUser("deaf", "g");
    ASSERT_TRUE(sender && deaf);
    std::string text(19000, 'z');
    int held = 0;
    for (int i = 0; i < 400 && held == 0; ++i) {
        ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "deaf", "", "sender", text)), MAIL_DONE);
        held = connectedFlag(server.port(), "deaf") == 0 ? 1 : 0;
    }
    EXPECT_EQ(held, 1);  // its socket filled, the write timed out, the connection was closed
}

TEST(Isolation, TwoHundredConnectionsAndTheTwoHundredAndFirstWaits) {
    CTempDir dir;
    CServerUnderTest server(dir.path());
    ASSERT_TRUE(server.start());
    std::vector<std::unique_ptr<CTestClient>> clients;
    for (int i = 0; i < CBsServerSocket::SLOT_COUNT; ++i) {
        auto c = std::make_unique<CTestClient>();
        ASSERT_TRUE(c->connect(server.port()));
        ASSERT_EQ(c->login("n" + std::to_string(i)), LOGIN_UNKNOWN_NAME) << i;
        clients.push_back(std::move(c));
    }
    CTestClient extra;
    ASSERT_TRUE(extra.connect(server.port()));  // completes in the listen queue
    ASSERT_TRUE(extra.sendFrame(PKT_LOGIN, nameField("extra")));
    EXPECT_TRUE(extra.expectNothing(500));
    EXPECT_EQ(clients[0]->registerUser("n0", "g"), REGISTER_DONE);  // the 200 are served

    clients[57]->close();
    Frame f;
    ASSERT_TRUE(extra.readFrame(f, 3000));
    EXPECT_EQ(f.type, PKT_LOGIN_RESULT);
    EXPECT_EQ(f.int32At(4), LOGIN_UNKNOWN_NAME);
}

}  // namespace
}  // namespace tovi::test
