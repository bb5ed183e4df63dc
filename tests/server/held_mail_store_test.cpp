// CHeldMailStore on its own: damaged stores, failed appends and failed rewrites.
#include "server/core/held_mail_store.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "protocol/packets.h"
#include "server_fixture.h"

namespace tovi::test {
namespace {

std::string record(const std::string& name, int32_t time, const std::string& payload) {
    return nameField(name) + int32Bytes(time) + int32Bytes(static_cast<int32_t>(payload.size())) +
           payload;
}

// Records what a rewrite hands over; knows every name but "orphan".
class CRecordingTarget : public CHeldMailTarget {
  public:
    bool deliverHeld(int32_t time, const char* payload, size_t length) override {
        if (failFrom >= 0 && static_cast<int>(delivered.size()) >= failFrom) return false;
        delivered.push_back(std::to_string(time) + ":" + std::string(payload, length));
        return true;
    }
    bool isKnownRecipient(const char* name) override { return std::string(name) != "orphan"; }
    std::vector<std::string> delivered;
    int failFrom = -1;
};

class HeldMailStoreFile : public ::testing::Test {
  protected:
    std::string path() const { return dir.file("TovisBackMail.dat"); }
    std::string contents(const std::string& p) const {
        std::string data;
        readWholeFile(p, data);
        return data;
    }
    void TearDown() override { CFileFaults::reset(); }
    CTempDir dir;
};

TEST_F(HeldMailStoreFile, TornLastRecordIsDroppedAndTheRestFlows) {
    const std::string whole = record("u", 1, "one") + record("v", 2, "two");
    for (size_t cut : {size_t(5), size_t(28), size_t(30)}) {
        ASSERT_TRUE(replaceFileAtomically(path(), whole + record("u", 3, "three").substr(0, cut)));
        CHeldMailStore store(path());
        CRecordingTarget target;
        EXPECT_TRUE(store.redeliverHeld("u", 0, 100, target)) << cut;
        EXPECT_EQ(target.delivered, std::vector<std::string>{"1:one"});
        EXPECT_EQ(contents(path()), record("v", 2, "two"));
        EXPECT_FALSE(fileExists(store.damagedPath()));
    }
}

TEST_F(HeldMailStoreFile, BadLengthInTheMiddleMovesTheRestAsideWithoutOverwriting) {
    const std::string rest =
        nameField("w") + int32Bytes(5) + int32Bytes(-7) + "garbage" + record("u", 9, "unreachable");
    ASSERT_TRUE(
        replaceFileAtomically(path(), record("u", 1, "one") + record("v", 2, "two") + rest));
    CHeldMailStore store(path());
    ASSERT_TRUE(replaceFileAtomically(store.damagedPath(), "earlier"));
    CRecordingTarget target;
    EXPECT_TRUE(store.redeliverHeld("u", 0, 100, target));
    EXPECT_EQ(target.delivered, std::vector<std::string>{"1:one"});
    EXPECT_EQ(contents(path()), record("v", 2, "two"));
    EXPECT_EQ(contents(store.damagedPath()), "earlier" + rest);

    // A length above the buffer is damage too.
    ASSERT_TRUE(replaceFileAtomically(
        path(), record("v", 2, "two") + nameField("x") + int32Bytes(1) + int32Bytes(20001) + "zz"));
    EXPECT_TRUE(store.redeliverHeld("nobody", 0, 100, target));
    EXPECT_EQ(contents(path()), record("v", 2, "two"));
}

TEST_F(HeldMailStoreFile, RecoveryAtStartKeepsNewRecordsOutOfTheDamage) {
    ASSERT_TRUE(
        replaceFileAtomically(path(), record("u", 1, "one") + record("u", 2, "two").substr(0, 30)));
    CHeldMailStore store(path());
    EXPECT_TRUE(store.recover());
    ASSERT_TRUE(store.holdMail("u", 3, "new", 3));
    ASSERT_TRUE(store.finishHolding());
    EXPECT_EQ(contents(path()), record("u", 1, "one") + record("u", 3, "new"));
}

TEST_F(HeldMailStoreFile, ExpiredAndOrphanedRecordsGoUndeliveredOnesStay) {
    ASSERT_TRUE(replaceFileAtomically(
        path(), record("u", 100, "a") + record("v", 10, "old") + record("orphan", 100, "b") +
                    record("u", 100, "c") + record("v", 90, "new") + record("u", 100, "d")));
    CHeldMailStore store(path());
    CRecordingTarget target;
    target.failFrom = 1;  // the connection breaks after the first delivery
    EXPECT_TRUE(store.redeliverHeld("u", 20, 100, target));
    EXPECT_EQ(target.delivered, std::vector<std::string>{"100:a"});
    EXPECT_EQ(contents(path()),
              record("u", 100, "c") + record("v", 90, "new") + record("u", 100, "d"));
}

TEST_F(HeldMailStoreFile, FailedAppendIsCutOffBeforeTheNextOne) {
    CHeldMailStore store(path());
    ASSERT_TRUE(store.holdMail("u", 1, "first", 5));
    ASSERT_TRUE(store.finishHolding());
    CFileFaults::failWritesAfter(10);  // a full disk in the middle of the record
    EXPECT_FALSE(store.holdMail("u", 2, "second", 6));
    CFileFaults::reset();
    store.finishHolding();
    ASSERT_TRUE(store.holdMail("u", 3, "third", 5));
    ASSERT_TRUE(store.finishHolding());
    EXPECT_EQ(contents(path()), record("u", 1, "first") + record("u", 3, "third"));
}

TEST_F(HeldMailStoreFile, FailedRewriteLeavesTheStoreAsItWas) {
    const std::string before = record("u", 1, "one") + record("v", 2, "two");
    ASSERT_TRUE(replaceFileAtomically(path(), before));
    CHeldMailStore store(path());
    CRecordingTarget target;
    CFileFaults::failOpensOf("TovisBackMail.datx");
    EXPECT_FALSE(store.redeliverHeld("u", 0, 100, target));
    EXPECT_TRUE(target.delivered.empty());
    CFileFaults::reset();
    CFileFaults::failRenamesTo("TovisBackMail.dat");
    EXPECT_FALSE(store.redeliverHeld("v", 0, 100, target));
    CFileFaults::reset();
    EXPECT_EQ(contents(path()), before);
    EXPECT_FALSE(fileExists(store.companionPath()));
}

}  // namespace
}  // namespace tovi::test
