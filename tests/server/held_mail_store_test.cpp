// CHeldMailStore on its own: damaged stores, failed appends, hand-overs noted in the .done
// companion (a restart repeats none of them), the rewrite that follows and a disk without room
// for it. The fixture is the hand-over's target: it records what is handed over (and reports it
// written at once unless told otherwise) and knows every name but "orphan".
#include "server/core/held_mail_store.h"

#include "server_support.h"

namespace tovi::test {

class HeldMailStoreFile : public ::testing::Test, public CHeldMailTarget {
  protected:
    bool deliverHeld(int32_t time, const char* payload, size_t length, int64_t ref) override {
        if (static_cast<int>(delivered.size()) == failFrom) return false;
        delivered.push_back(std::to_string(time) + ":" + std::string(payload, length));
        refs.push_back(ref);
        return true;
    }
    bool isKnownRecipient(const char* name) override { return std::string(name) != "orphan"; }
    void TearDown() override { CFileFaults::reset(); }
    // A hand-over whose deliveries are all written; the store rewritten afterwards.
    Names handOver(CHeldMailStore& s, const char* name, int32_t limit = 0, int32_t now = 100) {
        delivered.clear();
        refs.clear();
        EXPECT_TRUE(s.redeliverHeld(name, limit, now, *this));
        EXPECT_TRUE(s.handedOver(refs));
        return delivered;
    }
    TempDir dir;
    const std::string path = dir.file("TovisBackMail.dat");
    Names delivered;
    std::vector<int64_t> refs;
    int failFrom = -1;  // deliveries from this one on are not taken
    const std::string one = heldRecord("u", 1, "one"), two = heldRecord("v", 2, "two");
};

TEST_F(HeldMailStoreFile, TornLastRecordIsDroppedABadLengthMovesTheRestAsideTheRestFlows) {
    for (size_t cut : {5, 28, 30}) {
        ASSERT_TRUE(
            replaceFileAtomically(path, one + two + heldRecord("u", 3, "three").substr(0, cut)));
        CHeldMailStore store(path);
        EXPECT_TRUE(store.recover()) << cut;
        EXPECT_EQ(handOver(store, "u"), Names{"1:one"});
        EXPECT_TRUE(store.compactNow());
        EXPECT_EQ(contents(path), two);
        EXPECT_FALSE(fileExists(store.damagedPath()) || fileExists(store.donePath()));
    }
    // A bad length in the middle moves the rest aside without overwriting what is there.
    const std::string rest =
        nameField("w") + int32s({5, -7}) + "garbage" + heldRecord("u", 9, "lost");
    ASSERT_TRUE(replaceFileAtomically(path, one + two + rest));
    ASSERT_TRUE(replaceFileAtomically(path + ".damaged", "earlier"));
    CHeldMailStore store(path);
    EXPECT_TRUE(store.recover());
    EXPECT_EQ(contents(path), one + two);
    EXPECT_EQ(contents(store.damagedPath()), "earlier" + rest);
    EXPECT_EQ(handOver(store, "u"), Names{"1:one"});
    // A length above the buffer is damage too.
    ASSERT_TRUE(replaceFileAtomically(path, two + heldRecord("x", 1, std::string(20001, 'z'))));
    CHeldMailStore again(path);
    EXPECT_TRUE(again.recover());
    EXPECT_EQ(contents(path), two);
}

// Neither the torn record found at start nor an append that fails half-way (a full disk) is
// left in front of the next record.
TEST_F(HeldMailStoreFile, NewRecordsNeverFollowATornOne) {
    ASSERT_TRUE(replaceFileAtomically(path, one + two.substr(0, 30)));
    CHeldMailStore store(path);
    EXPECT_TRUE(store.recover());
    CFileFaults::failWritesAfter(10);
    EXPECT_FALSE(store.holdMail("u", 2, "second", 6));
    CFileFaults::reset();
    store.finishHolding();
    ASSERT_TRUE(store.holdMail("v", 2, "two", 3) && store.finishHolding());
    EXPECT_EQ(contents(path), one + two);
    EXPECT_EQ(handOver(store, "v"), Names{"2:two"});
}

// A hand-over needs no room for a rewrite: what was handed over is noted, a restart does not
// hand it over again, and once the rewrite can be made the store holds exactly what is left.
TEST_F(HeldMailStoreFile, HandedOverRecordsStayGoneAcrossARestartWhenTheRewriteCannotBeMade) {
    const std::string three = heldRecord("u", 3, "three");
    ASSERT_TRUE(replaceFileAtomically(path, one + two + three));
    {
        CHeldMailStore store(path);
        ASSERT_TRUE(store.recover());
        CFileFaults::failOpensOf("TovisBackMail.datx");  // no room for a rewrite
        EXPECT_EQ(handOver(store, "u"), (Names{"1:one", "3:three"}));
        EXPECT_FALSE(store.compactNow());
        EXPECT_EQ(contents(path), one + two + three);  // lags; the .done note keeps the truth
        ASSERT_TRUE(store.holdMail("u", 4, "four", 4) && store.finishHolding());
    }  // a restart (the last rewrite on the way out fails too)
    CHeldMailStore store(path);
    ASSERT_TRUE(store.recover());
    EXPECT_EQ(handOver(store, "u"), Names{"4:four"});
    CFileFaults::reset();
    EXPECT_TRUE(store.compactNow());
    EXPECT_EQ(contents(path), two);
    EXPECT_FALSE(fileExists(store.donePath()) || fileExists(store.companionPath()));
    // Notes about an older store file are not applied to the new one.
    CHeldMailStore restarted(path);
    ASSERT_TRUE(restarted.recover());
    EXPECT_EQ(handOver(restarted, "v"), Names{"2:two"});
}

// Records of others past the hold limit and records of unknown names go at any hand-over;
// deliveries the connection did not take, or did not write, stay in their place.
TEST_F(HeldMailStoreFile, ExpiredAndOrphanedRecordsGoUndeliveredOnesStay) {
    const std::string kept = heldRecord("u", 100, "c") + heldRecord("v", 90, "new");
    ASSERT_TRUE(replaceFileAtomically(path, heldRecord("u", 100, "a") + heldRecord("v", 10, "old") +
                                                heldRecord("orphan", 100, "b") + kept));
    CHeldMailStore store(path);
    ASSERT_TRUE(store.recover());
    failFrom = 1;  // the connection takes only the first
    EXPECT_EQ(handOver(store, "u", 20, 100), Names{"100:a"});
    EXPECT_TRUE(store.compactNow());
    EXPECT_EQ(contents(path), kept);
    // Queued but never written (the connection ended): released, handed over next time.
    failFrom = -1;
    delivered.clear();
    refs.clear();
    ASSERT_TRUE(store.redeliverHeld("u", 0, 100, *this));
    ASSERT_EQ(refs.size(), 1u);
    store.release(refs[0]);
    EXPECT_EQ(handOver(store, "u"), Names{"100:c"});
}

// A user's own held mail is all delivered, however old, also when it leaves in several rounds;
// only the first round thins the store.
TEST_F(HeldMailStoreFile, OwnMailLeavingInRoundsIsAllDeliveredOthersExpire) {
    ASSERT_TRUE(replaceFileAtomically(path, heldRecord("u", 1, "a") + heldRecord("v", 1, "old") +
                                                heldRecord("u", 2, "b") + heldRecord("u", 3, "c")));
    CHeldMailStore store(path);
    ASSERT_TRUE(store.recover());
    bool more = true;
    for (bool first = true; more; first = false) {
        ASSERT_TRUE(store.redeliverHeld("u", 10, 100, *this, 1, &more, first));
        ASSERT_TRUE(store.handedOver(refs));
        refs.clear();
    }
    EXPECT_EQ(delivered, (Names{"1:a", "2:b", "3:c"}));
    EXPECT_TRUE(store.compactNow());
    EXPECT_EQ(contents(path), "");
}

}  // namespace tovi::test
