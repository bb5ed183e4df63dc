// Held mail: redelivery at log-in and rename, its order and times, expiry and orphans.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "server_fixture.h"

namespace tovi::test {
namespace {

constexpr int32_t DAY = 86400;

std::string storeOf(const CTempDir& dir) {
    std::string data;
    readWholeFile(dir.file("TovisBackMail.dat"), data);
    return data;
}

// The store is rewritten just after the last delivery has left; wait (bounded) for it.
bool storeBecomes(const CTempDir& dir, size_t size) {
    for (int i = 0; i < 200; ++i) {
        if (storeOf(dir).size() == size) return true;
        sleepMs(10);
    }
    return false;
}

TEST(HeldMail, ArrivesInOrderWithItsStoringTimesAfterTheLogIn) {
    CTempDir dir;
    CServerUnderTest server(dir.path());
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(registerOffline(server.port(), "away", "g"));
    auto sender = server.connectUser("sender", "g");
    ASSERT_TRUE(sender);
    std::vector<int32_t> stored;
    for (int i = 0; i < 3; ++i) {
        setClockOffsetForTests(-1000 * (3 - i));  // distinct storing times, oldest first
        stored.push_back(nowSeconds());
        ASSERT_EQ(
            sender->sendMail(mailBody(SEND_TO_USER, "away", "", "sender", "m" + std::to_string(i))),
            MAIL_DONE);
    }
    setClockOffsetForTests(0);

    CTestClient away;
    ASSERT_TRUE(away.connect(server.port()));
    ASSERT_TRUE(away.sendFrame(PKT_LOGIN, nameField("away")));
    Frame f;
    ASSERT_TRUE(away.readFrame(f));
    ASSERT_EQ(f.type, PKT_LOGIN_RESULT);
    const int64_t loggedIn = monotonicMs();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(away.readFrame(f)) << i;
        if (i == 0) {
            EXPECT_GE(monotonicMs() - loggedIn, 80);
        }
        EXPECT_EQ(f.type, PKT_MAIL);
        EXPECT_NEAR(f.int32At(0), stored[static_cast<size_t>(i)], 1);
        EXPECT_EQ(f.body.substr(32), "m" + std::to_string(i));
    }
    EXPECT_TRUE(storeBecomes(dir, 0));
    EXPECT_TRUE(fileExists(dir.file("TovisBackMail.dat")));
}

TEST(HeldMail, ALogInWithoutAStoreMakesNoFile) {
    CTempDir dir;
    CServerUnderTest server(dir.path());
    ASSERT_TRUE(server.start());
    auto c = server.connectUser("u", "g");
    ASSERT_TRUE(c);
    c->close();
    ASSERT_TRUE(waitOffline(server.port(), "u"));
    auto again = server.connectUser("u", "g");
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->expectNothing(300));
    EXPECT_FALSE(fileExists(dir.file("TovisBackMail.dat")));
    EXPECT_FALSE(fileExists(dir.file("TovisBackMail.datx")));
}

TEST(HeldMail, ExpiryAtAnybodysLogInAndOrphansDropped) {
    CTempDir dir;
    CServerUnderTest server(dir.path());
    ASSERT_TRUE(server.start(10 * DAY));
    for (const char* n : {"old", "recent", "gone"})
        ASSERT_TRUE(registerOffline(server.port(), n, "g"));
    auto sender = server.connectUser("sender", "g");
    ASSERT_TRUE(sender);
    setClockOffsetForTests(-11 * DAY);
    ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "old", "", "s", "11 days")), MAIL_DONE);
    setClockOffsetForTests(-9 * DAY);
    ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "recent", "", "s", "9 days")), MAIL_DONE);
    setClockOffsetForTests(0);
    ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "gone", "", "s", "orphan")), MAIL_DONE);
    server.worker().postMessage(WM_SERVER_DELETE_USER, 0, 0, nameField("gone"));
    ASSERT_EQ(connectedFlag(server.port(), "gone"), -1);

    // Somebody else logs in: the whole store is thinned.
    ASSERT_TRUE(registerOffline(server.port(), "sender2", "g"));
    auto other = server.connectUser("sender2", "g");
    ASSERT_TRUE(other);
    ASSERT_TRUE(storeBecomes(dir, 28u + 28 + 6));
    std::string data = storeOf(dir);
    ASSERT_EQ(data.size(), 28u + 28 + 6);
    EXPECT_EQ(data.substr(0, 20), nameField("recent"));
    EXPECT_EQ(data.substr(28 + 28), "9 days");
}

TEST(HeldMail, NothingExpiresWithHoldLimitZero) {
    CTempDir dir;
    CServerUnderTest server(dir.path());
    ASSERT_TRUE(server.start(0));
    ASSERT_TRUE(registerOffline(server.port(), "old", "g"));
    auto sender = server.connectUser("sender", "g");
    setClockOffsetForTests(-3650 * DAY);
    ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "old", "", "s", "ancient")), MAIL_DONE);
    setClockOffsetForTests(0);
    ASSERT_TRUE(registerOffline(server.port(), "sender2", "g"));
    auto other = server.connectUser("sender2", "g");
    ASSERT_TRUE(other);
    other->expectNothing(300);
    EXPECT_EQ(storeOf(dir).size(), 28u + 28 + 7);
}

TEST(HeldMail, NamesDifferingInCaseAreDifferentRecipients) {
    CTempDir dir;
    CServerUnderTest server(dir.path());
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(registerOffline(server.port(), "Pat", "g"));
    ASSERT_TRUE(registerOffline(server.port(), "pat", "g"));
    auto sender = server.connectUser("sender", "g");
    ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "Pat", "", "s", "for Pat")), MAIL_DONE);
    ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "pat", "", "s", "for pat")), MAIL_DONE);
    CTestClient pat;
    ASSERT_TRUE(pat.connect(server.port()));
    ASSERT_EQ(pat.login("pat"), LOGIN_ACCEPTED);
    Frame f;
    ASSERT_TRUE(pat.readFrame(f));
    EXPECT_EQ(f.body.substr(32), "for pat");
    EXPECT_TRUE(pat.expectNothing(200));
    EXPECT_EQ(storeOf(dir).substr(0, 20), nameField("Pat"));
}

// A rename hands over what is held under the name it leaves. Mail is held for a connected user
// only when its live delivery failed; here the record is put into the store behind the
// server's back while the user is connected.
TEST(HeldMail, RenameHandsOverMailHeldUnderThePreviousName) {
    CTempDir dir;
    CServerUnderTest server(dir.path());
    ASSERT_TRUE(server.start());
    auto user = server.connectUser("temp", "g");
    ASSERT_TRUE(user);
    ASSERT_TRUE(user->expectNothing(200));
    const std::string payload = int32Bytes(0) + nameField("s") + int32Bytes(1) + "late";
    ASSERT_TRUE(replaceFileAtomically(dir.file("TovisBackMail.dat"),
                                      nameField("temp") + int32Bytes(4242) +
                                          int32Bytes(static_cast<int32_t>(payload.size())) +
                                          payload));
    ASSERT_EQ(user->rename("final", "g"), 0);
    Frame f;
    ASSERT_TRUE(user->readFrame(f));
    EXPECT_EQ(f.type, PKT_MAIL);
    EXPECT_EQ(f.int32At(0), 4242);
    EXPECT_EQ(f.body.substr(32), "late");
    EXPECT_TRUE(storeBecomes(dir, 0));
}

}  // namespace
}  // namespace tovi::test
