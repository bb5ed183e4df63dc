// Frame handling after the log-in: odd types, empty and impossible lengths.
#include <gtest/gtest.h>

#include "protocol/packets.h"
#include "server_fixture.h"

namespace tovi::test {
namespace {

class Framing : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        a = server.connectUser("a", "g");
        b = server.connectUser("b", "g");
        ASSERT_TRUE(a && b);
    }
    CTempDir dir;
    CServerUnderTest server{dir.path()};
    std::unique_ptr<CTestClient> a, b;
};

TEST_F(Framing, TypeOutsideTheRangeConsumesOnlyItsFourBytes) {
    for (int32_t odd : {99, 0, -5}) {
        ASSERT_TRUE(a->sendRaw(int32Bytes(odd)));
        EXPECT_EQ(a->sendMail(mailBody(SEND_TO_USER, "b", "", "a", "after")), MAIL_DONE) << odd;
        Frame f;
        ASSERT_TRUE(b->readFrame(f));
        EXPECT_EQ(f.body.substr(32), "after");
    }
}

TEST_F(Framing, EmptyPacketsAndASecondLogInAreConsumedUnanswered) {
    ASSERT_TRUE(a->sendFrame(PKT_MAIL, ""));
    ASSERT_TRUE(a->sendFrame(PKT_USERLIST_REQ, ""));
    ASSERT_TRUE(a->sendFrame(PKT_LOGIN, nameField("b")));
    ASSERT_TRUE(a->sendFrame(40, "whatever"));
    EXPECT_TRUE(a->expectNothing(300));
    EXPECT_EQ(a->sendMail(mailBody(SEND_TO_USER, "b", "", "a", "still")), MAIL_DONE);
}

TEST_F(Framing, ImpossibleLengthsCloseTheConnectionAndUnbindItsUser) {
    ASSERT_TRUE(a->sendRaw(int32Bytes(PKT_MAIL) + int32Bytes(20001) + std::string(100, 'x')));
    EXPECT_TRUE(a->waitClosed(3000));
    EXPECT_TRUE(waitOffline(server.port(), "a"));
    ASSERT_TRUE(b->sendRaw(int32Bytes(PKT_USERLIST_REQ) + int32Bytes(-1)));
    EXPECT_TRUE(b->waitClosed(3000));
    // Everybody else is served as before.
    auto c = server.connectUser("c", "g");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->sendMail(mailBody(SEND_TO_USER, "a", "", "c", "held")), MAIL_DONE);
}

TEST_F(Framing, PacketsSplitIntoSingleBytesAndPacketsBackToBack) {
    std::string bytes = frameBytes(PKT_MAIL, mailBody(SEND_TO_USER, "b", "", "a", "slow"));
    for (char ch : bytes) ASSERT_TRUE(a->sendRaw(std::string(1, ch)));
    Frame f;
    ASSERT_TRUE(a->readFrame(f));
    EXPECT_EQ(f.type, PKT_MAIL_RESULT);
    std::string burst;
    for (int i = 0; i < 50; ++i)
        burst += frameBytes(PKT_MAIL, mailBody(SEND_TO_USER, "b", "", "a", std::to_string(i)));
    ASSERT_TRUE(a->sendRaw(burst));
    ASSERT_TRUE(b->readFrame(f));  // the slow one
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(b->readFrame(f)) << i;
        EXPECT_EQ(f.body.substr(32), std::to_string(i));
        ASSERT_TRUE(a->readFrame(f));
        EXPECT_EQ(f.type, PKT_MAIL_RESULT);
    }
}

}  // namespace
}  // namespace tovi::test
