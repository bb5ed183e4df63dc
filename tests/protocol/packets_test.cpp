// Packet layouts, byte for byte.
#include "protocol/packets.h"

#include <gtest/gtest.h>

#include <string>

namespace tovi {
namespace {

TEST(Packets, ATwentyByteNameTravelsWithoutANulAndComesBackWhole) {
    const char* name = "ABCDEFGHIJKLMNOPQRST";  // exactly 20 bytes
    char body[LOGIN_BODY_SIZE + 4];
    std::memset(body, 'X', sizeof body);
    EXPECT_EQ(buildLogin(body, name), 20u);
    EXPECT_EQ(std::string(body, 20), name);
    EXPECT_EQ(body[20], 'X');  // nothing written past the field
    char back[NAME_BUFFER_SIZE];
    getName(body, back);
    EXPECT_STREQ(back, name);
    // A longer name is cut to the field, a shorter one padded with NUL bytes.
    buildLogin(body, "ABCDEFGHIJKLMNOPQRSTUVW");
    EXPECT_EQ(std::string(body, 20), name);
    buildLogin(body, "\x93\xfa\x96\x7b");  // cp932 text
    EXPECT_EQ(std::string(body, 20), std::string("\x93\xfa\x96\x7b", 4) + std::string(16, '\0'));
}

TEST(Packets, AReadNoticeIs72BytesAndItsDeliveryIs32) {
    char body[MAIL_HEADER_SIZE];
    ASSERT_EQ(buildReadNotice(body, "author", "reader", 1700000000), 72u);
    EXPECT_EQ(getInt32(body), SEND_TO_USER);
    EXPECT_EQ(std::string(body + 24, 20), std::string(20, '\0'));
    EXPECT_EQ(getInt32(body + 44), MAIL_READ_NOTICE);
    MailRequest req;
    ASSERT_TRUE(parseMailRequest(body, 72, req));
    EXPECT_STREQ(req.destUser, "author");

    char delivery[64];
    size_t d = buildDelivery(delivery, 42, req.payload, req.payloadLength);
    ASSERT_EQ(d, 32u);
    Delivery got;
    ASSERT_TRUE(parseDelivery(delivery, d, got));
    EXPECT_EQ(got.time, 42);
    EXPECT_EQ(got.kind, MAIL_READ_NOTICE);
    EXPECT_STREQ(got.sender, "reader");
    EXPECT_EQ(got.token, 1700000000);
    EXPECT_EQ(got.textLength, 0u);
    EXPECT_FALSE(parseDelivery(delivery, 31, got));
}

TEST(Packets, RegistryBodiesRoundTripAndWrongLengthsAreRefused) {
    char body[88];
    ASSERT_EQ(buildRegister(body, "name", "ABCDEFGHIJKLMNOPQRST"), 40u);
    NamePair pair;
    ASSERT_TRUE(parseNamePair(body, 40, pair));
    EXPECT_STREQ(pair.group, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_FALSE(parseNamePair(body, 39, pair) || parseNamePair(body, 41, pair));

    ASSERT_EQ(buildUserListReq(body, USERLIST_FILTER_GROUP, "g"), 24u);
    UserListRequest req;
    ASSERT_TRUE(parseUserListRequest(body, 24, req));
    EXPECT_EQ(req.filter, 1);
    EXPECT_STREQ(req.group, "g");
    EXPECT_FALSE(parseUserListRequest(body, 23, req));

    buildUserRecord(body, 1, "a", "g1");
    buildUserRecord(body + 44, 0, "b", "g2");
    UserRecord rec;
    ASSERT_TRUE(parseUserRecord(body, 88, 1, rec));
    EXPECT_EQ(rec.connected, 0);
    EXPECT_STREQ(rec.name, "b");
    EXPECT_FALSE(parseUserRecord(body, 88, 2, rec));
}

TEST(Packets, FramesAndIntegersAreLittleEndian) {
    char h[8];
    EXPECT_EQ(putFrameHeader(h, PKT_MAIL_RESULT, -2), 8u);
    EXPECT_EQ(std::string(h, 8), std::string("\x33\0\0\0\xfe\xff\xff\xff", 8));
    EXPECT_EQ(getInt32(h + 4), -2);
}

}  // namespace
}  // namespace tovi
