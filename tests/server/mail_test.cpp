// Mail on the real server: routing of PKT_MAIL by send type to connected and offline users with
// its size checks, and held mail (redelivery at log-in, order, times, expiry).
#include "server_support.h"

namespace tovi::test {

using HeldMail = ServerTest;
constexpr int32_t DAY = 86400;

class Routing : public ServerTest {
  protected:
    void SetUp() override {
        ServerTest::SetUp();
        // sales: ann (online), ben (offline); dev: cat (online), dan (offline)
        ann = connectUser("ann", "sales");
        ASSERT_TRUE(registerOffline(port, "ben", "sales"));
        cat = connectUser("cat", "dev");
        ASSERT_TRUE(registerOffline(port, "dan", "dev"));
    }
    std::unique_ptr<CTestClient> ann, cat;
    Frame own;
};

// A read notice of 72 bytes is delivered with 32.
TEST_F(Routing, ToOneUserArrivesAtOnceWithTheServersTimeIsHeldWhenOfflineFailsWithTheStore) {
    const int32_t before = nowSeconds();
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_USER, "cat", "", "ann", "[Subject]:_[t]_b", 777)), 0);
    const Frame f = cat->next();
    EXPECT_GE(f.int32At(0), before);
    EXPECT_LE(f.int32At(0), nowSeconds());
    EXPECT_EQ(f.body.substr(4),
              int32s({0}) + nameField("ann") + int32s({777}) + "[Subject]:_[t]_b");
    char notice[MAIL_HEADER_SIZE];
    ASSERT_EQ(buildReadNotice(notice, "cat", "ann", 123456), 72u);
    EXPECT_EQ(ann->sendMail(std::string(notice, 72)), MAIL_DONE);
    EXPECT_EQ(cat->next().body.substr(4),
              int32s({MAIL_READ_NOTICE}) + nameField("ann") + int32s({123456}));
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_USER, "ben", "", "ann", "x")), MAIL_DONE);
    for (const char* unknown : {"nobody", "BEN"}) {
        EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_USER, unknown, "", "ann", "y")),
                  MAIL_UNKNOWN_USER);
    }
    CFileFaults::failOpensOf("TovisBackMail.dat");  // a store that cannot be written
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_USER, "ben", "", "ann", "z")), MAIL_HOLD_FAILED);
    CFileFaults::reset();
    EXPECT_EQ(held(storeFile()), Names{"ben:x"});
}

// The sender hears of success once the held mail is on disk; meanwhile others are served. Mail
// for a connected user that would wait behind its queue (here the first result, waiting for the
// disk) is held too and follows once on disk. A failed flush is reported, and the mail it refused
// is never delivered.
TEST_F(Routing, HeldMailWaitsForTheDiskAloneAndAFailedFlushIsReported) {
    CFileFaults::slowSyncs(800, false);
    ASSERT_TRUE(ann->sendFrame(PKT_MAIL, mailBody(SEND_TO_USER, "ben", "", "ann", "held")));
    ASSERT_TRUE(ann->sendFrame(PKT_MAIL, mailBody(SEND_TO_USER, "ann", "", "ann", "own")));
    EXPECT_EQ(cat->sendMail(mailBody(SEND_TO_USER, "cat", "", "cat", "c")), MAIL_DONE);
    EXPECT_TRUE(ann->expectNothing(0));
    EXPECT_EQ(ann->next(3000).bytes(), frame(PKT_MAIL_RESULT, int32s({0, 0})));
    EXPECT_EQ(ann->next(3000).bytes(), frame(PKT_MAIL_RESULT, int32s({0, 0})));
    EXPECT_EQ(ann->next(3000).text(), "own");
    CFileFaults::slowSyncs(0, true);
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_USER, "ben", "", "ann", "x")), MAIL_HOLD_FAILED);
    CFileFaults::reset();
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_GROUP, "", "sales", "ann", "y"), &own), MAIL_DONE);
    CTestClient ben;
    ASSERT_TRUE(ben.connect(port) && ben.login("ben") == LOGIN_ACCEPTED);
    EXPECT_EQ(ben.next().text(), "held");
    EXPECT_EQ(ben.next().text(), "y");
    EXPECT_TRUE(ben.expectNothing(300));
}

TEST_F(Routing, GroupAndAllSendTypesReachTheirRecipientsTheSenderIncluded) {
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_GROUP, "", "sales", "ann", "1"), &own), MAIL_DONE);
    EXPECT_EQ(own.text(), "1");  // the sender's own copy comes before the result
    EXPECT_TRUE(cat->expectNothing(100));
    own = {};
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_GROUP_CONNECTED, "", "dev", "ann", "2"), &own), 0);
    EXPECT_EQ(own.type, 0);
    EXPECT_EQ(cat->next().text(), "2");
    for (int32_t type : {SEND_TO_ALL_CONNECTED, SEND_TO_ALL}) {
        EXPECT_EQ(cat->sendMail(mailBody(type, "", "", "cat", std::to_string(type)), &own), 0);
        EXPECT_EQ(own.text(), std::to_string(type));
        EXPECT_EQ(ann->next().text(), std::to_string(type));
    }
    EXPECT_EQ(held(storeFile()), (Names{"ben:1", "ben:4", "dan:4"}));
}

// Bodies up to 19800 bytes are routed, longer ones or ones shorter than the header refused.
TEST_F(Routing, UnknownSendTypesAndGroupsWithNobodySucceedEmptyOnlyBodiesUpTo19800Routed) {
    ann->close();
    ASSERT_TRUE(waitOffline(port, "ann"));
    for (int32_t type : {0, 6, -1}) {
        ASSERT_TRUE(cat->sendFrame(PKT_MAIL, mailBody(type, "ben", "sales", "cat", "x")));
        EXPECT_EQ(cat->next().bytes(), result(PKT_MAIL_RESULT, MAIL_DONE)) << type;
    }
    EXPECT_EQ(cat->sendMail(mailBody(SEND_TO_GROUP_CONNECTED, "", "sales", "cat", "x")), 0);
    EXPECT_EQ(cat->sendMail(mailBody(SEND_TO_GROUP, "", "nogroup", "cat", "x")), MAIL_DONE);
    std::string largest = mailBody(SEND_TO_USER, "cat", "", "cat", "");  // to the sender
    largest += std::string(MAX_MAIL_BODY - largest.size(), 'x');
    EXPECT_EQ(cat->sendMail(largest, &own), MAIL_DONE);
    EXPECT_EQ(own.body.size(), 4 + MAX_PAYLOAD);
    for (const std::string& refused : {largest + "x", int32s({4}) + std::string(39, '\0')}) {
        ASSERT_TRUE(cat->sendFrame(PKT_MAIL, refused));
        EXPECT_EQ(cat->next().bytes(), result(PKT_MAIL_RESULT, MAIL_UNKNOWN_USER));
    }
    EXPECT_TRUE(cat->expectNothing(200));
    EXPECT_EQ(held(storeFile()), Names{});
}

// With no hold limit, mail stored thousands of days ago still arrives; a name differing only in
// letter case is another recipient.
TEST_F(HeldMail, ArrivesInOrderWithItsStoringTimesAfterTheLogIn) {
    ASSERT_TRUE(registerOffline(port, "away", "g") && registerOffline(port, "Away", "g"));
    auto sender = connectUser("sender", "g");
    for (int i = 0; i < 3; ++i) {
        setClockOffsetForTests(-1000 * DAY * (3 - i));  // distinct storing times, oldest first
        ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "away", "", "s", std::to_string(i))), 0);
        ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "Away", "", "s", "A")), MAIL_DONE);
    }
    setClockOffsetForTests(0);
    CTestClient away;
    ASSERT_TRUE(away.connect(port) && away.login("away") == LOGIN_ACCEPTED);
    const int64_t loggedIn = monotonicMs();
    for (int i = 0; i < 3; ++i) {
        const Frame f = away.next();
        EXPECT_TRUE(i > 0 || monotonicMs() - loggedIn >= 80);
        EXPECT_NEAR(f.int32At(0), nowSeconds() - 1000 * DAY * (3 - i), 2);
        EXPECT_EQ(f.text(), std::to_string(i));
    }
    EXPECT_TRUE(away.expectNothing(200));
    EXPECT_TRUE(eventually([&] { return held(storeFile()) == Names(3, "Away:A"); }));
}

TEST_F(HeldMail, ExpiryAtAnybodysLogInAndOrphansDropped) {
    worker.reset();
    ASSERT_TRUE(start(10 * DAY));
    for (const char* n : {"old", "recent", "gone", "other"})
        ASSERT_TRUE(registerOffline(port, n, "g"));
    auto sender = connectUser("sender", "g");
    for (const auto& [to, age] : {std::pair{"old", 11}, {"recent", 9}, {"gone", 0}}) {
        setClockOffsetForTests(-age * DAY);
        ASSERT_EQ(sender->sendMail(mailBody(SEND_TO_USER, to, "", "s", std::to_string(age))), 0);
    }
    setClockOffsetForTests(0);
    worker->postMessage(WM_SERVER_DELETE_USER, 0, 0, nameField("gone"));
    ASSERT_EQ(connectedFlag(port, "gone"), -1);
    auto other = connectUser("other", "g");  // somebody else: the whole store is thinned
    EXPECT_TRUE(eventually([&] { return held(storeFile()) == Names{"recent:9"}; }));
}

}  // namespace tovi::test
