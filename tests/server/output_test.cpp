// What the server sends: every connection has its own output queue, so a client that stops
// reading, stalls or vanishes makes nobody else wait and loses no mail (what it did not take is
// held for it, in order); what was decided for a connection reaches it before a deliberate close.
#include <thread>

#include "server_support.h"

namespace tovi::test {

using Output = ServerTest;

namespace {

// Reads deliveries until the connection ends or nothing comes for timeoutMs; their texts.
Names drain(CTestClient& c, int timeoutMs = 2000) {
    Names texts;
    for (Frame f; (f = c.next(timeoutMs)).type == PKT_MAIL;) texts.push_back(f.text());
    return texts;
}

std::string numbered(int i) {
    std::string text = std::to_string(i) + ":";
    return text + std::string(19000, 'z');
}

}  // namespace

// Four clients stop reading while big mails keep coming for them; a pair beside them is served
// at once each time (the old single worker waited up to 2 s in every blocked write). What cannot
// go into their sockets is held on disk, not in memory; a client that reads again takes it all,
// in order and once, on the same connection.
TEST_F(Output, ClientsThatStopReadingCostOthersNothingAndTheirMailIsHeldInOrder) {
    auto a = connectUser("a", "pair"), b = connectUser("b", "pair");
    std::vector<std::unique_ptr<CTestClient>> deaf;
    for (int i = 0; i < 4; ++i) deaf.push_back(connectUser("deaf" + std::to_string(i), "deaf"));
    const int64_t start = monotonicMs();
    int64_t longest = 0;
    const int sent = 200;  // 3.8 MB for each: far more than its socket takes
    for (int i = 0; i < sent; ++i) {
        ASSERT_EQ(a->sendMail(mailBody(SEND_TO_GROUP, "", "deaf", "a", numbered(i))), 0);
        const int64_t before = monotonicMs();
        ASSERT_EQ(a->sendMail(mailBody(SEND_TO_USER, "b", "", "a", "ping")), MAIL_DONE);
        ASSERT_EQ(b->next(3000).text(), "ping") << i;
        longest = std::max(longest, monotonicMs() - before);
    }
    // A bound, not a benchmark: a worker that waits in a blocked write takes seconds here.
    EXPECT_LT(longest, 1500) << "after " << monotonicMs() - start << " ms";
    const Names got = drain(*deaf[0]);
    ASSERT_EQ(got.size(), static_cast<size_t>(sent));
    for (int i = 0; i < sent; ++i) EXPECT_EQ(got[i], numbered(i)) << i;
}

// A client whose queue never moves is closed after the stall limit even below the cap; the
// mail queued for it is held.
TEST_F(Output, AStalledClientIsClosedAfterTheStallLimitAndItsMailHeld) {
    worker.reset();
    ASSERT_TRUE(start(0, [](CcRcData& w) { w.serverSocket().setOutputLimits(64u << 20, 1000); }));
    auto a = connectUser("a", "g"), stuck = connectUser("stuck", "g");
    const int sent = 400;  // 7.6 MB: more than the sockets on both sides take
    for (int i = 0; i < sent; ++i)
        ASSERT_EQ(a->sendMail(mailBody(SEND_TO_USER, "stuck", "", "a", numbered(i))), 0);
    ASSERT_TRUE(waitOffline(port, "stuck"));
    Names got = drain(*stuck);
    CTestClient again;
    ASSERT_TRUE(again.connect(port) && again.login("stuck") == LOGIN_ACCEPTED);
    for (const std::string& t : drain(again)) got.push_back(t);
    ASSERT_EQ(got.size(), static_cast<size_t>(sent));
    for (int i = 0; i < sent; ++i) EXPECT_EQ(got[i], numbered(i)) << i;
}

// A client that sends 200 mails and half-closes gets all 200 results before the server closes;
// a wrong first packet followed by an impossible length still gets its (48, 1, 3).
TEST_F(Output, DecidedAnswersArriveBeforeADeliberateClose) {
    auto a = connectUser("a", "g");
    std::string bytes;
    for (int i = 0; i < 200; ++i)
        bytes += frame(PKT_MAIL, mailBody(SEND_TO_GROUP_CONNECTED, "", "nobody", "a", "x"));
    ASSERT_TRUE(a->sendRaw(bytes));
    a->halfClose();
    int results = 0;
    while (a->next(3000).bytes() == result(PKT_MAIL_RESULT, MAIL_DONE)) ++results;
    EXPECT_EQ(results, 200);
    EXPECT_TRUE(waitOffline(port, "a"));

    CTestClient wrong;
    ASSERT_TRUE(wrong.connect(port) && wrong.sendRaw(int32s({99, PKT_MAIL, -1})));
    EXPECT_EQ(wrong.next().bytes(), result(PKT_LOGIN_RESULT, LOGIN_BAD_HANDSHAKE));
    EXPECT_TRUE(wrong.waitClosed(3000));
}

// A user deleted while mail for it waits in its queue still receives that mail before its
// connection is shut down.
TEST_F(Output, ADeletedUserReceivesWhatWasQueuedBeforeTheClose) {
    auto a = connectUser("a", "g"), gone = connectUser("gone", "g");
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(a->sendMail(mailBody(SEND_TO_USER, "gone", "", "a", std::to_string(i))), 0);
    worker->postMessage(WM_SERVER_DELETE_USER, 0, 0, nameField("gone"));
    Names got = drain(*gone, 3000);
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(got.back(), "19");
    EXPECT_EQ(connectedFlag(port, "gone"), -1);
}

// A reader that takes a large backlog slowly, more than its socket holds, does not keep what it
// has taken in the store file while the rest is on its way: the file is rewritten meanwhile and
// stays near the size of what is still held.
TEST_F(Output, TheStoreShrinksWhileASlowReaderTakesALargeBacklog) {
    ASSERT_TRUE(registerOffline(port, "slow", "g"));
    auto a = connectUser("a", "g");
    const int sent = 500;  // 9.5 MB held
    for (int i = 0; i < sent; ++i)
        ASSERT_EQ(a->sendMail(mailBody(SEND_TO_USER, "slow", "", "a", numbered(i))), 0);
    const size_t full = contents(storeFile()).size();
    CTestClient slow;
    ASSERT_TRUE(slow.connect(port) && slow.login("slow") == LOGIN_ACCEPTED);
    for (int i = 0; i < 150; ++i) {
        ASSERT_EQ(slow.next().text(), numbered(i));
        if (i % 10 == 0) sleepMs(5);
    }
    EXPECT_TRUE(eventually([&] { return contents(storeFile()).size() < full / 2; }))
        << contents(storeFile()).size() << " of " << full;
    EXPECT_EQ(slow.next().text(), numbered(150));
}

}  // namespace tovi::test
