// The log-in handshake of a new connection, over 127.0.0.1 against the real server.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "protocol/packets.h"
#include "server_fixture.h"

namespace tovi::test {
namespace {

class Handshake : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    CTempDir dir;
    CServerUnderTest server{dir.path()};
};

TEST_F(Handshake, UnknownNameRegistersOnTheSameConnection) {
    CTestClient c;
    ASSERT_TRUE(c.connect(server.port()));
    int32_t failed = 0;
    EXPECT_EQ(c.login("alice", &failed), LOGIN_UNKNOWN_NAME);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(c.registerUser("alice", "sales", &failed), REGISTER_DONE);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(connectedFlag(server.port(), "alice"), 1);
}

TEST_F(Handshake, NameAlreadyConnectedIsRefusedUntilTheOtherConnectionCloses) {
    auto first = server.connectUser("bob", "g");
    ASSERT_TRUE(first);
    CTestClient second;
    ASSERT_TRUE(second.connect(server.port()));
    EXPECT_EQ(second.login("bob"), LOGIN_ALREADY_CONNECTED);

    first->close();
    ASSERT_TRUE(waitOffline(server.port(), "bob"));
    CTestClient third;
    ASSERT_TRUE(third.connect(server.port()));
    EXPECT_EQ(third.login("bob"), LOGIN_ACCEPTED);
}

TEST_F(Handshake, WrongFirstTypeIsReason3AndTheConnectionStaysUsable) {
    CTestClient c;
    ASSERT_TRUE(c.connect(server.port()));
    // Only the type is taken by the handshake; the length that follows reads as a type of 20
    // with a length of 0: consumed, unanswered.
    ASSERT_TRUE(c.sendRaw(int32Bytes(PKT_REGISTER) + int32Bytes(20) + int32Bytes(0)));
    int32_t failed = 0;
    Frame f;
    ASSERT_TRUE(c.readFrame(f));
    EXPECT_EQ(f.type, PKT_LOGIN_RESULT);
    EXPECT_EQ(f.int32At(0), 1);
    EXPECT_EQ(f.int32At(4), LOGIN_BAD_HANDSHAKE);
    EXPECT_EQ(c.registerUser("carol", "g", &failed), REGISTER_DONE);
}

TEST_F(Handshake, LogInLongerThanANameIsRefused) {
    ASSERT_TRUE(registerOffline(server.port(), "dave", "g"));
    CTestClient c;
    ASSERT_TRUE(c.connect(server.port()));
    ASSERT_TRUE(c.sendFrame(PKT_LOGIN, nameField("dave") + "x"));
    Frame f;
    ASSERT_TRUE(c.readFrame(f));
    EXPECT_EQ(f.type, PKT_LOGIN_RESULT);
    EXPECT_EQ(f.int32At(4), LOGIN_BAD_HANDSHAKE);
    EXPECT_EQ(connectedFlag(server.port(), "dave"), 0);
}

TEST_F(Handshake, ShortNameAndFullTwentyByteNameBothLogIn) {
    const std::string longName = "abcdefghijklmnopqrst";  // 20 bytes, no NUL on the wire
    ASSERT_TRUE(registerOffline(server.port(), longName, "g"));
    ASSERT_TRUE(registerOffline(server.port(), "ed", "g"));
    CTestClient a;
    ASSERT_TRUE(a.connect(server.port()));
    EXPECT_EQ(a.login(longName), LOGIN_ACCEPTED);
    CTestClient b;
    ASSERT_TRUE(b.connect(server.port()));
    ASSERT_TRUE(b.sendFrame(PKT_LOGIN, "ed"));  // a length-2 name is read up to its length
    Frame f;
    ASSERT_TRUE(b.readFrame(f));
    EXPECT_EQ(f.int32At(4), LOGIN_ACCEPTED);
}

// The real 10 s wait: a silent client gets (48, 1, 3) and may still register.
TEST_F(Handshake, SilentClientIsAnsweredAfterTenSecondsAndCanStillRegister) {
    CTestClient silent;
    ASSERT_TRUE(silent.connect(server.port()));
    const int64_t start = monotonicMs();
    EXPECT_TRUE(silent.expectNothing(9000));
    Frame f;
    ASSERT_TRUE(silent.readFrame(f, 5000));
    EXPECT_GE(monotonicMs() - start, 9500);
    EXPECT_EQ(f.type, PKT_LOGIN_RESULT);
    EXPECT_EQ(f.int32At(4), LOGIN_BAD_HANDSHAKE);
    EXPECT_EQ(silent.registerUser("frank", "g"), REGISTER_DONE);
}

// A log-in that stops inside its name is answered after the 5 s piece limit.
TEST_F(Handshake, StallInsideTheLogInPacketIsReason3AfterFiveSeconds) {
    CTestClient c;
    ASSERT_TRUE(c.connect(server.port()));
    ASSERT_TRUE(c.sendRaw(int32Bytes(PKT_LOGIN) + int32Bytes(20) + "gr"));
    EXPECT_TRUE(c.expectNothing(4000));
    Frame f;
    ASSERT_TRUE(c.readFrame(f, 4000));
    EXPECT_EQ(f.int32At(4), LOGIN_BAD_HANDSHAKE);
}

}  // namespace
}  // namespace tovi::test
