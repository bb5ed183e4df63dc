// The user registry: registration, rename, user list, deletion and the user file.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "protocol/packets.h"
#include "server/core/user_table.h"
#include "server_fixture.h"

namespace tovi::test {
namespace {

class Registry : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    std::string userFile() const { return dir.file("TovisUser.dat"); }
    std::vector<std::string> listed(CTestClient& c, int32_t filter, const std::string& group) {
        std::vector<std::string> out;
        Frame f;
        if (!c.sendFrame(PKT_USERLIST_REQ, int32Bytes(filter) + nameField(group)) ||
            !c.readFrame(f) || f.type != PKT_USERLIST)
            return {"<no list>"};
        for (size_t off = 0; off + 44 <= f.body.size(); off += 44) {
            std::string name = f.body.substr(off + 4, 20);
            name.resize(strnlen(name.c_str(), 20));
            out.push_back(std::to_string(f.int32At(off)) + ":" + name);
        }
        return out;
    }
    CTempDir dir;
    CServerUnderTest server{dir.path()};
};

TEST_F(Registry, DuplicatesAreRefusedButLetterCaseMakesADifferentUser) {
    ASSERT_TRUE(registerOffline(server.port(), "Kim", "g"));
    auto online = server.connectUser("lee", "g");
    ASSERT_TRUE(online);
    CTestClient c;
    ASSERT_TRUE(c.connect(server.port()));
    c.login("x");
    EXPECT_EQ(c.registerUser("Kim", "other"), REGISTER_NAME_TAKEN);  // offline
    EXPECT_EQ(c.registerUser("lee", "other"), REGISTER_NAME_TAKEN);  // connected
    EXPECT_EQ(c.registerUser("kim", "g"), REGISTER_DONE);
}

TEST_F(Registry, TheTwoHundredAndFirstRegistrationFindsTheTableFull) {
    CTestClient c;
    ASSERT_TRUE(c.connect(server.port()));
    c.login("x");
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(c.registerUser("u" + std::to_string(i), "g"), REGISTER_DONE) << i;
    int32_t failed = 0;
    EXPECT_EQ(c.registerUser("u200", "g", &failed), REGISTER_TABLE_FULL);
    EXPECT_EQ(failed, 1);
    std::string data;
    ASSERT_TRUE(readWholeFile(userFile(), data));
    EXPECT_EQ(data.size(), 200u * 63);
}

TEST_F(Registry, ReRegisteringOnABoundConnectionUnbindsTheFirstUser) {
    auto c = server.connectUser("first", "g");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->registerUser("second", "g"), REGISTER_DONE);
    EXPECT_EQ(connectedFlag(server.port(), "first"), 0);
    c->close();
    ASSERT_TRUE(waitOffline(server.port(), "second"));
    CTestClient again;
    ASSERT_TRUE(again.connect(server.port()));
    EXPECT_EQ(again.login("first"), LOGIN_ACCEPTED);
}

TEST_F(Registry, UserFileHoldsOneRecordOfSixtyThreeBytesPerUser) {
    const std::string twenty = "ABCDEFGHIJKLMNOPQRST";
    ASSERT_TRUE(registerOffline(server.port(), twenty, "grp"));
    ASSERT_TRUE(registerOffline(server.port(), "zoe", twenty));
    std::string data;
    ASSERT_TRUE(readWholeFile(userFile(), data));
    ASSERT_EQ(data.size(), 126u);
    EXPECT_EQ(data.substr(0, 20), twenty);
    EXPECT_EQ(data.substr(20, 20), nameField("grp"));
    EXPECT_EQ(data.substr(40, 23), std::string("127.0.0.1") + std::string(14, '\0'));
    EXPECT_EQ(data.substr(63, 20), nameField("zoe"));
    EXPECT_EQ(data.substr(83, 20), twenty);

    // Read back by a restarted server.
    server.stop();
    ASSERT_TRUE(server.start());
    CTestClient c;
    ASSERT_TRUE(c.connect(server.port()));
    EXPECT_EQ(c.login(twenty), LOGIN_ACCEPTED);
    EXPECT_EQ(listed(c, 0, ""), (std::vector<std::string>{"1:" + twenty, "0:zoe"}));
}

TEST_F(Registry, FailedSaveAnswersReason3KeepsTheOldFileAndTheLogIn) {
    ASSERT_TRUE(registerOffline(server.port(), "old", "g"));
    std::string before;
    ASSERT_TRUE(readWholeFile(userFile(), before));
    CFileFaults::failRenamesTo("TovisUser.dat");
    CTestClient c;
    ASSERT_TRUE(c.connect(server.port()));
    c.login("new");
    int32_t failed = 0;
    EXPECT_EQ(c.registerUser("new", "g", &failed), REGISTER_SAVE_FAILED);
    EXPECT_EQ(failed, 1);
    CFileFaults::reset();
    std::string after;
    ASSERT_TRUE(readWholeFile(userFile(), after));
    EXPECT_EQ(after, before);
    EXPECT_FALSE(fileExists(userFile() + "x"));
    EXPECT_EQ(connectedFlag(server.port(), "new"), 1);
}

TEST_F(Registry, RenameRules) {
    ASSERT_TRUE(registerOffline(server.port(), "other", "g"));
    auto c = server.connectUser("me", "g1");
    ASSERT_TRUE(c);
    int32_t failed = 0;
    // Own name with a new group.
    EXPECT_EQ(c->rename("me", "g2", &failed), 0);
    EXPECT_EQ(failed, 0);
    std::string data;
    ASSERT_TRUE(readWholeFile(userFile(), data));
    EXPECT_EQ(data.substr(63 + 20, 20), nameField("g2"));
    // Another user's name, connected or not.
    EXPECT_EQ(c->rename("other", "g2", &failed), 0);
    EXPECT_EQ(failed, 1);
    // A connection without a logged-in user.
    CTestClient nobody;
    ASSERT_TRUE(nobody.connect(server.port()));
    nobody.login("ghost");
    EXPECT_EQ(nobody.rename("ghost", "g", &failed), 0);
    EXPECT_EQ(failed, 1);
    // A new name.
    EXPECT_EQ(c->rename("me2", "g2", &failed), 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(connectedFlag(server.port(), "me2"), 1);
    EXPECT_EQ(connectedFlag(server.port(), "me"), -1);
}

TEST_F(Registry, ListFiltersAndWrongLengthsGetNoAnswer) {
    ASSERT_TRUE(registerOffline(server.port(), "a1", "alpha"));
    ASSERT_TRUE(registerOffline(server.port(), "b1", "beta"));
    auto c = server.connectUser("a2", "alpha");
    ASSERT_TRUE(c);
    EXPECT_EQ(listed(*c, 1, "alpha"), (std::vector<std::string>{"0:a1", "1:a2"}));
    EXPECT_EQ(listed(*c, 1, "nobody"), std::vector<std::string>{});
    EXPECT_EQ(listed(*c, 7, "beta"), (std::vector<std::string>{"0:a1", "0:b1", "1:a2"}));

    ASSERT_TRUE(c->sendFrame(PKT_USERLIST_REQ, std::string(23, '\0')));
    ASSERT_TRUE(c->sendFrame(PKT_REGISTER, std::string(41, 'x')));
    ASSERT_TRUE(c->sendFrame(PKT_RENAME, std::string(39, 'x')));
    EXPECT_TRUE(c->expectNothing(300));
    EXPECT_EQ(listed(*c, 0, "").size(), 3u);  // still served
}

TEST_F(Registry, DeletingAUserDisconnectsItAndFreesItsPosition) {
    ASSERT_TRUE(registerOffline(server.port(), "p0", "g"));
    auto victim = server.connectUser("p1", "g");
    ASSERT_TRUE(victim);
    ASSERT_TRUE(registerOffline(server.port(), "p2", "g"));
    server.worker().postMessage(WM_SERVER_DELETE_USER, 0, 0, nameField("p1"));
    EXPECT_TRUE(victim->waitClosed(3000));
    ASSERT_TRUE(registerOffline(server.port(), "p3", "g"));
    std::string data;
    ASSERT_TRUE(readWholeFile(userFile(), data));
    ASSERT_EQ(data.size(), 3u * 63);
    EXPECT_EQ(data.substr(63, 20), nameField("p3"));  // the freed position
}

TEST(UserTableFile, LoadStopsAtARepeatedNameAndIgnoresATornRecord) {
    CTempDir dir;
    std::string data;
    for (const char* n : {"one", "two", "one", "three"})
        data += nameField(n) + nameField("g") + std::string(23, '\0');
    data += "torn";
    ASSERT_TRUE(replaceFileAtomically(dir.file("TovisUser.dat"), data));
    CUserTable table(dir.file("TovisUser.dat"));
    EXPECT_FALSE(table.load());
    EXPECT_EQ(table.userCount(), 2u);
    EXPECT_TRUE(table.isKnownName("two"));
    EXPECT_FALSE(table.isKnownName("three"));

    CUserTable torn(dir.file("torn.dat"));
    ASSERT_TRUE(replaceFileAtomically(
        dir.file("torn.dat"),
        nameField("a") + nameField("g") + std::string(23, '\0') + nameField("b")));
    EXPECT_TRUE(torn.load());
    EXPECT_EQ(torn.userCount(), 1u);
}

}  // namespace
}  // namespace tovi::test
