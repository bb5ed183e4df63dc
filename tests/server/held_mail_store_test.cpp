// CHeldMailStore on its own: damaged stores, failed appends, hand-overs noted in the .done
// companion (a restart repeats none of them), the rewrite that follows and a disk without room
// for it. The fixture is the hand-over's target: it records what is handed over (and reports it
// written at once unless told otherwise) and knows every name but "orphan".
#include "server/core/held_mail_store.h"

#include "platform/file_identity.h"
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
    bool isConnectedRecipient(const char* name) override { return connected == name; }
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
    int failFrom = -1;      // deliveries from this one on are not taken
    std::string connected;  // the user connected meanwhile
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
        EXPECT_FALSE(fileExists(store.damagedPath()));
        EXPECT_EQ(contents(store.donePath()), "");
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
// left in front of the next record: the torn append is cut off at once, so the store flows on
// without room for a copy of itself, and the records around it keep their places.
TEST_F(HeldMailStoreFile, NewRecordsNeverFollowATornOne) {
    ASSERT_TRUE(replaceFileAtomically(path, one + two.substr(0, 30)));
    CHeldMailStore store(path);
    EXPECT_TRUE(store.recover());
    EXPECT_EQ(contents(path), one);
    CFileFaults::failOpensOf("TovisBackMail.datx");  // no room for a copy
    CFileFaults::failWritesAfter(10);
    EXPECT_FALSE(store.holdMail("u", 2, "second", 6));
    CFileFaults::failWritesAfter(-1);
    EXPECT_EQ(contents(path), one);
    ASSERT_TRUE(store.holdMail("v", 2, "two", 3) && store.finishHolding());
    EXPECT_EQ(contents(path), one + two);
    EXPECT_EQ(handOver(store, "v"), Names{"2:two"});
    EXPECT_EQ(handOver(store, "u"), Names{"1:one"});
}

// Deliveries on their way name their records by a number that a rewrite of the store does not
// change: the rewrite runs while they are out (it does not wait for a slow reader), and what is
// reported afterwards is the right record, across a restart too.
TEST_F(HeldMailStoreFile, RecordsOnTheirWayKeepTheirReferencesThroughARewrite) {
    const std::string three = heldRecord("v", 3, "three");
    ASSERT_TRUE(replaceFileAtomically(path, one + two + heldRecord("u", 4, "four") + three));
    {
        CHeldMailStore store(path);
        ASSERT_TRUE(store.recover());
        ASSERT_TRUE(store.redeliverHeld("u", 0, 100, *this));
        ASSERT_EQ(delivered, (Names{"1:one", "4:four"}));
        ASSERT_TRUE(store.handedOver({refs[0]}));  // one written, four still on its way
        EXPECT_TRUE(store.compactNow());
        EXPECT_EQ(contents(path), two + heldRecord("u", 4, "four") + three);
        ASSERT_TRUE(store.holdMail("u", 5, "five", 4) && store.finishHolding());
        EXPECT_TRUE(store.handedOver({refs[1]}));
        EXPECT_EQ(handOver(store, "u"), Names{"5:five"});
        EXPECT_TRUE(store.handedOver({}));
    }  // the last rewrite on the way out
    EXPECT_EQ(contents(path), two + three);
    CHeldMailStore restarted(path);
    ASSERT_TRUE(restarted.recover());
    EXPECT_EQ(handOver(restarted, "u"), Names{});
    EXPECT_EQ(handOver(restarted, "v"), (Names{"2:two", "3:three"}));
}

// A rename carries the held records to the new name (on disk, so they survive a restart, with
// their times and in order); where the copies cannot be written nothing changes.
TEST_F(HeldMailStoreFile, ARenameCarriesTheHeldRecordsToTheNewName) {
    ASSERT_TRUE(
        replaceFileAtomically(path, heldRecord("old", 1, "a") + two + heldRecord("old", 3, "b")));
    {
        CHeldMailStore store(path);
        ASSERT_TRUE(store.recover());
        CFileFaults::failWritesAfter(40);
        EXPECT_FALSE(store.carryOver("old", "new"));
        CFileFaults::reset();
        EXPECT_EQ(handOver(store, "new"), Names{});
        ASSERT_TRUE(store.carryOver("old", "new"));
        EXPECT_EQ(handOver(store, "old"), Names{});
    }
    CHeldMailStore store(path);
    ASSERT_TRUE(store.recover());
    EXPECT_EQ(handOver(store, "old"), Names{});
    EXPECT_EQ(handOver(store, "new"), (Names{"1:a", "3:b"}));
    EXPECT_EQ(handOver(store, "v"), Names{"2:two"});
}

// Records on their way to a user who renames and then leaves before they are written stay the
// user's under its new name, before the ones carried over and mail that came meanwhile, across a
// restart too; nothing is left under the old name to be dropped as orphaned.
TEST_F(HeldMailStoreFile, RecordsOnTheirWayFollowARenameWhenTheyComeBack) {
    ASSERT_TRUE(replaceFileAtomically(
        path,
        heldRecord("old", 1, "a") + two + heldRecord("old", 3, "b") + heldRecord("old", 4, "c")));
    {
        CHeldMailStore store(path);
        ASSERT_TRUE(store.recover());
        failFrom = 2;
        ASSERT_TRUE(store.redeliverHeld("old", 0, 100, *this));
        ASSERT_EQ(delivered, (Names{"1:a", "3:b"}));
        failFrom = -1;
        const std::vector<int64_t> onTheirWay = refs;
        ASSERT_TRUE(store.carryOver("old", "new"));
        ASSERT_TRUE(store.holdMail("new", 5, "d", 1) && store.finishHolding());
        for (int64_t ref : onTheirWay) store.release(ref);  // the user left
        EXPECT_EQ(store.heldFor("old"), 0u);
        EXPECT_EQ(store.heldFor("new"), 4u);
        EXPECT_TRUE(store.compactNow());
    }
    CHeldMailStore store(path);
    ASSERT_TRUE(store.recover());
    EXPECT_EQ(handOver(store, "old"), Names{});
    EXPECT_EQ(handOver(store, "new"), (Names{"1:a", "3:b", "4:c", "5:d"}));
}

// A mail whose flush failed was refused to its sender: it is gone at once and never handed over,
// nor after a restart. Mail held again after its sender had heard of success stays.
TEST_F(HeldMailStoreFile, RecordsAFailedFlushRefusedAreNeverHandedOver) {
    {
        CHeldMailStore store(path);
        ASSERT_TRUE(store.recover());
        ASSERT_TRUE(store.holdMail("u", 1, "refused", 7) &&
                    store.holdMail("u", 2, "acknowledged", 12, true));
        CFileFaults::slowSyncs(0, true);
        EXPECT_FALSE(store.finishHolding());
        CFileFaults::reset();
        ASSERT_TRUE(store.holdMail("u", 3, "later", 5) && store.finishHolding());
        int64_t ref = -1;
        ASSERT_TRUE(store.holdMail("u", 4, "withdrawn", 9, false, &ref));
        EXPECT_TRUE(store.withdraw({ref}) && store.finishHolding());
        ASSERT_TRUE(store.redeliverHeld("nobody", 0, 100, *this));  // writes nothing
    }
    CHeldMailStore store(path);
    ASSERT_TRUE(store.recover());
    EXPECT_EQ(handOver(store, "u"), (Names{"2:acknowledged", "3:later"}));
}

// A torn last entry of the .done companion (a partial write, a power cut) is cut off: the
// entries written after it keep their places, so a restart repeats none of those deliveries.
TEST_F(HeldMailStoreFile, ATornNoteNeverShiftsTheNotesAfterIt) {
    const std::string three = heldRecord("u", 3, "three");
    ASSERT_TRUE(replaceFileAtomically(path, one + two + three));
    uint64_t identity = 0;
    ASSERT_TRUE(fileIdentity(path, identity));
    // The note of "one", then half of a second entry.
    ASSERT_TRUE(replaceFileAtomically(
        path + ".done", int32s({int32_t(identity & 0xffffffffu), int32_t(identity >> 32), 0, 0}) +
                            std::string(7, 'x')));
    CFileFaults::failOpensOf("TovisBackMail.datx");  // no rewrite: the notes are the truth
    {
        CHeldMailStore store(path);
        ASSERT_TRUE(store.recover());
        EXPECT_EQ(handOver(store, "u"), Names{"3:three"});
    }
    EXPECT_EQ(contents(path + ".done").size(), 32u);
    CHeldMailStore store(path);
    ASSERT_TRUE(store.recover());
    EXPECT_EQ(handOver(store, "u"), Names{});
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
    EXPECT_EQ(contents(store.donePath()), "");
    EXPECT_FALSE(fileExists(store.companionPath()));
    // Notes about an older store file are not applied to the new one.
    CHeldMailStore restarted(path);
    ASSERT_TRUE(restarted.recover());
    EXPECT_EQ(handOver(restarted, "v"), Names{"2:two"});
}

// Records of others past the hold limit and records of unknown names go at any hand-over, but
// never records of a user who is connected (its hand-over may go in rounds), however old;
// deliveries the connection did not take, or did not write, stay in their place.
TEST_F(HeldMailStoreFile, ExpiredAndOrphanedRecordsGoAConnectedUsersAndUndeliveredOnesStay) {
    const std::string kept =
        heldRecord("w", 1, "w") + heldRecord("u", 100, "c") + heldRecord("v", 90, "new");
    ASSERT_TRUE(replaceFileAtomically(path, heldRecord("u", 100, "a") + heldRecord("v", 10, "old") +
                                                heldRecord("orphan", 100, "b") + kept));
    CHeldMailStore store(path);
    ASSERT_TRUE(store.recover());
    connected = "w";
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
    EXPECT_EQ(handOver(store, "w", 10, 100), Names{"1:w"});
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
