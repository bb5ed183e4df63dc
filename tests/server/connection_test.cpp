// A connection's life on the real server: the log-in handshake, framing after it, and isolation
// (one connection never holds up the others).
#include "server_support.h"

namespace tovi::test {

using Handshake = ServerTest;
using Isolation = ServerTest;
using Framing = ServerTest;

TEST_F(Handshake, UnknownNameRegistersOnTheSameConnectionATakenNameWaitsForItsCloseNoStoreIsMade) {
    CTestClient first, second, third;
    ASSERT_TRUE(first.connect(port) && second.connect(port) && third.connect(port));
    EXPECT_EQ(first.login("alice"), LOGIN_UNKNOWN_NAME);
    EXPECT_EQ(first.registerUser("alice", "sales"), REGISTER_DONE);
    EXPECT_EQ(second.login("alice"), LOGIN_ALREADY_CONNECTED);
    first.close();
    ASSERT_TRUE(waitOffline(port, "alice"));
    EXPECT_EQ(third.login("alice"), LOGIN_ACCEPTED);
    EXPECT_TRUE(third.expectNothing(300));  // no held mail, and no store file made for it
    EXPECT_FALSE(fileExists(storeFile()) || fileExists(storeFile() + "x"));
}

// A wrong first type has only its four bytes taken (the length behind reads as a type of 20
// with a length of 0: consumed, unanswered); a log-in body of up to 20 bytes is a name read up
// to its length, a longer one is refused. The connection stays usable.
TEST_F(Handshake, WrongFirstTypeOrLongLogInIsReason3ShortAndFullNamesLogIn) {
    const std::string twenty = "abcdefghijklmnopqrst";  // no NUL on the wire
    ASSERT_TRUE(registerOffline(port, twenty, "g") && registerOffline(port, "ed", "g"));
    const std::pair<std::string, int> cases[] = {
        {int32s({PKT_REGISTER, 20, 0}), LOGIN_BAD_HANDSHAKE},
        {frame(PKT_LOGIN, nameField("ed") + "x"), LOGIN_BAD_HANDSHAKE},
        {frame(PKT_LOGIN, twenty), LOGIN_ACCEPTED},
        {frame(PKT_LOGIN, "ed"), LOGIN_ACCEPTED}};
    int n = 0;
    for (const auto& [bytes, reason] : cases) {
        CTestClient c;
        ASSERT_TRUE(c.connect(port) && c.sendRaw(bytes));
        EXPECT_EQ(c.next().bytes(), result(PKT_LOGIN_RESULT, reason)) << n;
        EXPECT_EQ(c.registerUser("new" + std::to_string(n++), "g"), REGISTER_DONE);
    }
}

// Types outside 1..64 take only their four bytes; empty packets, a second log-in and a type
// without a meaning are consumed unanswered; packets back to back in one write are all served.
// Impossible lengths close the connection and unbind its user; everybody else is served on.
TEST_F(Framing, OddTypesAndEmptyPacketsAreConsumedImpossibleLengthsCloseTheConnection) {
    auto a = connectUser("a", "g"), b = connectUser("b", "g");
    std::string bytes = int32s({99, 0, -5}) + frame(PKT_MAIL, "") + frame(PKT_USERLIST_REQ, "") +
                        frame(PKT_LOGIN, nameField("b")) + frame(40, "whatever");
    for (int i = 0; i < 50; ++i)
        bytes += frame(PKT_MAIL, mailBody(SEND_TO_USER, "b", "", "a", std::to_string(i)));
    ASSERT_TRUE(a->sendRaw(bytes));
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(b->next().text(), std::to_string(i));
        EXPECT_EQ(a->next().bytes(), result(PKT_MAIL_RESULT, MAIL_DONE));
    }
    EXPECT_TRUE(a->expectNothing(200));
    ASSERT_TRUE(a->sendRaw(int32s({PKT_MAIL, 20001}) + std::string(100, 'x')));
    EXPECT_TRUE(a->waitClosed(3000));
    EXPECT_TRUE(waitOffline(port, "a"));
    ASSERT_TRUE(b->sendRaw(int32s({PKT_USERLIST_REQ, -1})));
    EXPECT_TRUE(b->waitClosed(3000));
    auto c = connectUser("c", "g");
    EXPECT_EQ(c->sendMail(mailBody(SEND_TO_USER, "a", "", "c", "held")), MAIL_DONE);
}

// The stalled ones are answered in the end: a log-in stopping inside its name (48, 1, 3) after the
// 5 s piece limit, a silent client after 10 s; the silent one may still register.
TEST_F(Isolation, StalledAndSilentConnectionsCostTheOthersNothingAndAreAnsweredAfterFiveOrTen) {
    auto a = connectUser("a", "g"), b = connectUser("b", "g"), stuck = connectUser("stuck", "g");
    CTestClient silent, halfLogIn, inName;
    ASSERT_TRUE(silent.connect(port) && halfLogIn.connect(port) && inName.connect(port));
    // Stops in the middle of a mail; a new connection says nothing, two stop inside a log-in.
    const std::string stuckMail = frame(PKT_MAIL, mailBody(1, "b", "", "stuck", "finally"));
    ASSERT_TRUE(stuck->sendRaw(stuckMail.substr(0, 6)));  // inside the length
    ASSERT_TRUE(halfLogIn.sendRaw(int32s({PKT_LOGIN}) + "\x14"));
    const int64_t start = monotonicMs();
    ASSERT_TRUE(inName.sendRaw(int32s({PKT_LOGIN, 20}) + "gr"));
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(i != 10 || stuck->sendRaw(stuckMail.substr(6, 12)));  // into the body
        ASSERT_EQ(a->sendMail(mailBody(SEND_TO_USER, "b", "", "a", "x")), MAIL_DONE);
        ASSERT_EQ(b->next(1000).type, PKT_MAIL);
    }
    connectUser("late", "g");
    EXPECT_LT(monotonicMs() - start, 3000);  // a bound, not a benchmark: the stalls take 5-10 s
    ASSERT_TRUE(stuck->sendRaw(stuckMail.substr(18)));  // completed later: routed and answered
    EXPECT_EQ(stuck->next().bytes(), result(PKT_MAIL_RESULT, MAIL_DONE));
    EXPECT_EQ(b->next().text(), "finally");
    const auto until = [&](int ms) {
        return int(std::max<int64_t>(0, start + ms - monotonicMs()));
    };
    EXPECT_TRUE(inName.expectNothing(until(4000)));
    EXPECT_EQ(inName.next(3000).bytes(), result(PKT_LOGIN_RESULT, LOGIN_BAD_HANDSHAKE));
    EXPECT_TRUE(silent.expectNothing(until(9000)));
    EXPECT_EQ(silent.next().bytes(), result(PKT_LOGIN_RESULT, LOGIN_BAD_HANDSHAKE));
    EXPECT_GE(monotonicMs() - start, 9500);
    EXPECT_EQ(silent.registerUser("frank", "g"), REGISTER_DONE);
}

// With all 200 slots taken a new connection waits while the 200 are served. Connections that
// never log in cannot keep a user out: once its log-in time is over, a waiting connection takes
// the slot that has gone longest without a user; a slot carrying a user is never taken, and a slot
// a client gives up is taken at once.
TEST_F(Isolation, ConnectionsWithoutAUserMakeRoomForAWaitingOneOnesWithAUserNever) {
    ASSERT_TRUE(registerOffline(port, "late", "g"));
    auto keeper = connectUser("keeper", "g");  // connected first: the oldest slot
    std::vector<CTestClient> idle(CBsServerSocket::SLOT_COUNT - 1);
    for (size_t i = 0; i < idle.size(); ++i) {
        ASSERT_TRUE(idle[i].connect(port));
        ASSERT_EQ(idle[i].login("n" + std::to_string(i)), LOGIN_UNKNOWN_NAME) << i;
    }
    CTestClient late, extra;
    ASSERT_TRUE(extra.connect(port) && extra.sendFrame(PKT_LOGIN, nameField("extra")));
    EXPECT_TRUE(extra.expectNothing(300));
    EXPECT_EQ(idle[1].registerUser("n1", "g"), REGISTER_DONE);  // the 200 are served
    idle[57].close();
    EXPECT_EQ(extra.next(3000).bytes(), result(PKT_LOGIN_RESULT, LOGIN_UNKNOWN_NAME));
    ASSERT_TRUE(late.connect(port) && late.sendFrame(PKT_LOGIN, nameField("late")));
    // Within the others' log-in time nothing is taken from them.
    EXPECT_TRUE(late.expectNothing(1000));
    EXPECT_EQ(late.next(15000).bytes(), result(PKT_LOGIN_RESULT, LOGIN_ACCEPTED));
    EXPECT_TRUE(idle[0].waitClosed(3000));  // the oldest without a user made room
    EXPECT_EQ(keeper->list(), (Names{"1:late", "1:keeper", "1:n1"}));
}

namespace {
int64_t g_clockShift = 0;
int64_t shiftedClock() { return monotonicMs() + g_clockShift; }
}  // namespace

// A log-in whose bytes have arrived when its deadline passes is read, not refused, even in a
// pass that does not ask the poller (another connection keeps the worker busy).
TEST(HandshakeDeadline, BytesThatArrivedAreReadBeforeTheDeadlineIsJudged) {
    TempDir dir;
    CBsServerSocket server(dir.path);
    server.setClockForTests(shiftedClock);
    ASSERT_TRUE(server.startListening("127.0.0.1", 0));
    CTestClient late, busy;
    ASSERT_TRUE(late.connect(server.listeningPort()) && busy.connect(server.listeningPort()));
    for (int i = 0; i < 100 && !server.isSlotConnected(1); ++i) server.pollOnce(-1, 10);
    ASSERT_TRUE(server.isSlotConnected(1));
    // The busy one's log-in is read and waits to be handled; then the late one's bytes come.
    ASSERT_TRUE(busy.sendFrame(PKT_LOGIN, nameField("b")));
    sleepMs(50);
    server.pollOnce(-1, 50);
    ASSERT_TRUE(late.sendFrame(PKT_LOGIN, nameField("nobody")));
    sleepMs(50);
    g_clockShift = CFrameAssembler::LOGIN_FIRST_BYTES_MS + 1000;
    for (int i = 0; i < 20; ++i) server.pollOnce(-1, 0);
    g_clockShift = 0;
    EXPECT_EQ(late.next(2000).bytes(), result(PKT_LOGIN_RESULT, LOGIN_UNKNOWN_NAME));
    EXPECT_EQ(busy.next(2000).bytes(), result(PKT_LOGIN_RESULT, LOGIN_UNKNOWN_NAME));
}

}  // namespace tovi::test
