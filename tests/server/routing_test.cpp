// Routing of PKT_MAIL by send type to connected and offline users, and its size checks.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "server_fixture.h"

namespace tovi::test {
namespace {

class Routing : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        // sales: ann (online), ben (offline); dev: cat (online), dan (offline)
        ann = server.connectUser("ann", "sales");
        ASSERT_TRUE(registerOffline(server.port(), "ben", "sales"));
        cat = server.connectUser("cat", "dev");
        ASSERT_TRUE(registerOffline(server.port(), "dan", "dev"));
        ASSERT_TRUE(ann && cat);
    }
    // Recipient names of the records in the store, in order.
    std::vector<std::string> heldFor() const {
        std::string data;
        std::vector<std::string> names;
        if (!readWholeFile(dir.file("TovisBackMail.dat"), data)) return names;
        for (size_t off = 0; off + 28 <= data.size();) {
            std::string n = data.substr(off, 20);
            n.resize(strnlen(n.c_str(), 20));
            names.push_back(n);
            off += 28 + static_cast<size_t>(getInt32(data.data() + off + 24));
        }
        return names;
    }
    CTempDir dir;
    CServerUnderTest server{dir.path()};
    std::unique_ptr<CTestClient> ann, cat;
};

TEST_F(Routing, ToOneConnectedUserArrivesAtOnceWithTheServersTime) {
    const int32_t before = nowSeconds();
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_USER, "cat", "", "ann", "[Subject]:_[t]_b", 0, 777)),
              MAIL_DONE);
    Frame f;
    ASSERT_TRUE(cat->readFrame(f));
    ASSERT_EQ(f.type, PKT_MAIL);
    EXPECT_GE(f.int32At(0), before);
    EXPECT_LE(f.int32At(0), nowSeconds());
    EXPECT_EQ(f.body.substr(4),
              int32Bytes(0) + nameField("ann") + int32Bytes(777) + "[Subject]:_[t]_b");
    EXPECT_TRUE(heldFor().empty());
}

TEST_F(Routing, ToAnOfflineUserIsHeldAndToAnUnknownNameIsRefused) {
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_USER, "ben", "", "ann", "x")), MAIL_DONE);
    EXPECT_EQ(heldFor(), std::vector<std::string>{"ben"});
    int32_t failed = 0;
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_USER, "nobody", "", "ann", "x"), &failed),
              MAIL_UNKNOWN_USER);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_USER, "BEN", "", "ann", "x")), MAIL_UNKNOWN_USER);
    EXPECT_EQ(heldFor(), std::vector<std::string>{"ben"});
}

TEST_F(Routing, GroupAndAllSendTypesReachTheirRecipientsTheSenderIncluded) {
    Frame own, f;
    EXPECT_EQ(ann->sendMail(mailBody(SEND_TO_GROUP, "", "sales", "ann", "1"), nullptr, &own),
              MAIL_DONE);
    EXPECT_EQ(own.type, PKT_MAIL);  // the sender's own copy comes before the result
    EXPECT_EQ(heldFor(), std::vector<std::string>{"ben"});
    EXPECT_TRUE(cat->expectNothing(100));

    own = {};
    EXPECT_EQ(
        ann->sendMail(mailBody(SEND_TO_GROUP_CONNECTED, "", "dev", "ann", "2"), nullptr, &own),
        MAIL_DONE);
    EXPECT_EQ(own.type, 0);
    ASSERT_TRUE(cat->readFrame(f));
    EXPECT_EQ(f.body.substr(32), "2");
    EXPECT_EQ(heldFor().size(), 1u);

    EXPECT_EQ(cat->sendMail(mailBody(SEND_TO_ALL_CONNECTED, "", "", "cat", "3"), nullptr, &own),
              MAIL_DONE);
    ASSERT_TRUE(ann->readFrame(f));
    EXPECT_EQ(f.body.substr(32), "3");
    EXPECT_EQ(heldFor().size(), 1u);

    EXPECT_EQ(cat->sendMail(mailBody(SEND_TO_ALL, "", "", "cat", "4"), nullptr, &own), MAIL_DONE);
    ASSERT_TRUE(ann->readFrame(f));
    EXPECT_EQ(heldFor(), (std::vector<std::string>{"ben", "ben", "dan"}));
}

TEST_F(Routing, ConnectedOnlyGroupWithNobodyOnlineAndUnknownSendTypesSucceedEmpty) {
    ann->close();
    ASSERT_TRUE(waitOffline(server.port(), "ann"));
    for (int32_t type : {0, 6, -1}) {
        int32_t failed = 1;
        EXPECT_EQ(cat->sendMail(mailBody(type, "ben", "sales", "cat", "x"), &failed), MAIL_DONE);
        EXPECT_EQ(failed, 0);
    }
    EXPECT_EQ(cat->sendMail(mailBody(SEND_TO_GROUP_CONNECTED, "", "sales", "cat", "x")), MAIL_DONE);
    EXPECT_EQ(cat->sendMail(mailBody(SEND_TO_GROUP, "", "nogroup", "cat", "x")), MAIL_DONE);
    EXPECT_TRUE(heldFor().empty());
}

TEST_F(Routing, SizeLimitsOfTheMailBody) {
    std::string largest = mailBody(SEND_TO_USER, "cat", "", "ann", "");
    largest += std::string(MAX_MAIL_BODY - largest.size(), 'x');
    EXPECT_EQ(ann->sendMail(largest), MAIL_DONE);
    Frame f;
    ASSERT_TRUE(cat->readFrame(f));
    EXPECT_EQ(f.body.size(), 4 + MAX_PAYLOAD);

    int32_t failed = 0;
    EXPECT_EQ(ann->sendMail(largest + "x", &failed), MAIL_UNKNOWN_USER);
    EXPECT_EQ(failed, 1);
    // Shorter than its routing header: refused, not routed.
    EXPECT_EQ(ann->sendMail(int32Bytes(SEND_TO_ALL) + std::string(39, '\0'), &failed),
              MAIL_UNKNOWN_USER);
    EXPECT_TRUE(cat->expectNothing(200));
    EXPECT_TRUE(heldFor().empty());
}

TEST_F(Routing, ReadNoticeOfSeventyTwoBytesIsDeliveredWithThirtyTwo) {
    char body[MAIL_HEADER_SIZE];
    size_t n = buildReadNotice(body, "cat", "ann", 123456);
    ASSERT_EQ(n, 72u);
    EXPECT_EQ(ann->sendMail(std::string(body, n)), MAIL_DONE);
    Frame f;
    ASSERT_TRUE(cat->readFrame(f));
    EXPECT_EQ(f.body.size(), 32u);
    EXPECT_EQ(f.int32At(4), MAIL_READ_NOTICE);
    EXPECT_EQ(f.int32At(28), 123456);
}

TEST_F(Routing, AStoreThatCannotBeWrittenAnswersReason2) {
    CFileFaults::failOpensOf("TovisBackMail.dat");
    int32_t failed = 0;
    EXPECT_EQ(cat->sendMail(mailBody(SEND_TO_ALL, "", "", "cat", "x"), &failed), MAIL_HOLD_FAILED);
    EXPECT_EQ(failed, 1);
    CFileFaults::reset();
    // ann came before ben in the table and got hers live.
    Frame f;
    EXPECT_TRUE(ann->readFrame(f));
    EXPECT_TRUE(heldFor().empty());
}

}  // namespace
}  // namespace tovi::test
