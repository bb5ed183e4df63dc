// CHeldMailStore on its own: damaged stores, failed appends and failed rewrites. The fixture is
// the rewrite's target: it records what is handed over and knows every name but "orphan".
#include "server/core/held_mail_store.h"

#include "server_support.h"

namespace tovi::test {

class HeldMailStoreFile : public ::testing::Test, public CHeldMailTarget {
  protected:
    bool deliverHeld(int32_t time, const char* payload, size_t length) override {
        if (static_cast<int>(delivered.size()) == failFrom) return false;
        delivered.push_back(std::to_string(time) + ":" + std::string(payload, length));
        return true;
    }
    bool isKnownRecipient(const char* name) override { return std::string(name) != "orphan"; }
    void TearDown() override { CFileFaults::reset(); }
    TempDir dir;
    const std::string path = dir.file("TovisBackMail.dat");
    CHeldMailStore store{path};
    Names delivered;
    int failFrom = -1;  // deliveries from this one on fail
    const std::string one = heldRecord("u", 1, "one"), two = heldRecord("v", 2, "two");
};

TEST_F(HeldMailStoreFile, TornLastRecordIsDroppedABadLengthMovesTheRestAsideTheRestFlows) {
    for (size_t cut : {5, 28, 30}) {
        ASSERT_TRUE(
            replaceFileAtomically(path, one + two + heldRecord("u", 3, "three").substr(0, cut)));
        delivered.clear();
        EXPECT_TRUE(store.redeliverHeld("u", 0, 100, *this)) << cut;
        EXPECT_EQ(delivered, Names{"1:one"});
        EXPECT_EQ(contents(path), two);
        EXPECT_FALSE(fileExists(store.damagedPath()));
    }
    // A bad length in the middle moves the rest aside without overwriting what is there.
    const std::string rest =
        nameField("w") + int32s({5, -7}) + "garbage" + heldRecord("u", 9, "lost");
    ASSERT_TRUE(replaceFileAtomically(path, one + two + rest));
    ASSERT_TRUE(replaceFileAtomically(store.damagedPath(), "earlier"));
    delivered.clear();
    EXPECT_TRUE(store.redeliverHeld("u", 0, 100, *this));
    EXPECT_EQ(delivered, Names{"1:one"});
    EXPECT_EQ(contents(path), two);
    EXPECT_EQ(contents(store.damagedPath()), "earlier" + rest);
    // A length above the buffer is damage too.
    ASSERT_TRUE(replaceFileAtomically(path, two + heldRecord("x", 1, std::string(20001, 'z'))));
    EXPECT_TRUE(store.redeliverHeld("nobody", 0, 100, *this));
    EXPECT_EQ(contents(path), two);
}

// Neither the torn record found at start nor an append that fails half-way (a full disk) is
// left in front of the next record.
TEST_F(HeldMailStoreFile, NewRecordsNeverFollowATornOneAFailedRewriteLeavesTheStoreAsItWas) {
    ASSERT_TRUE(replaceFileAtomically(path, one + two.substr(0, 30)));
    EXPECT_TRUE(store.recover());
    CFileFaults::failWritesAfter(10);
    EXPECT_FALSE(store.holdMail("u", 2, "second", 6));
    CFileFaults::reset();
    store.finishHolding();
    ASSERT_TRUE(store.holdMail("v", 2, "two", 3) && store.finishHolding());
    EXPECT_EQ(contents(path), one + two);
    // A failed rewrite leaves the store as it was.
    CFileFaults::failOpensOf("TovisBackMail.datx");
    EXPECT_FALSE(store.redeliverHeld("u", 0, 100, *this));
    EXPECT_TRUE(delivered.empty());
    CFileFaults::reset();
    CFileFaults::failRenamesTo("TovisBackMail.dat");
    EXPECT_FALSE(store.redeliverHeld("v", 0, 100, *this));
    CFileFaults::reset();
    EXPECT_EQ(contents(path), one + two);
    EXPECT_FALSE(fileExists(store.companionPath()));
}

TEST_F(HeldMailStoreFile, ExpiredAndOrphanedRecordsGoUndeliveredOnesStay) {
    const std::string kept = heldRecord("u", 100, "c") + heldRecord("v", 90, "new");
    ASSERT_TRUE(replaceFileAtomically(path, heldRecord("u", 100, "a") + heldRecord("v", 10, "old") +
                                                heldRecord("orphan", 100, "b") + kept));
    failFrom = 1;  // the connection breaks after the first delivery
    EXPECT_TRUE(store.redeliverHeld("u", 20, 100, *this));
    EXPECT_EQ(delivered, Names{"100:a"});
    EXPECT_EQ(contents(path), kept);
}

}  // namespace tovi::test
