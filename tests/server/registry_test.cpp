// The user registry: registration, rename, user list, deletion and the user file.
#include "server_support.h"

namespace tovi::test {

using Registry = ServerTest;

// A rename keeps the own name with a new group or takes a new name, handing over the mail held
// under the old one; it fails (flag 1, reason 0) for another user's name or with nobody logged in.
TEST_F(Registry, TakenNamesAreRefusedLetterCaseDiffersReRegisteringUnbindsTheFirstRenameRules) {
    ASSERT_TRUE(registerOffline(port, "Kim", "g"));
    auto lee = connectUser("lee", "g");
    CTestClient c, nobody;
    ASSERT_TRUE(c.connect(port) && c.login("x") == LOGIN_UNKNOWN_NAME);
    ASSERT_TRUE(nobody.connect(port) && nobody.login("ghost") == LOGIN_UNKNOWN_NAME);
    EXPECT_EQ(c.registerUser("Kim", "other"), REGISTER_NAME_TAKEN);  // offline
    EXPECT_EQ(c.registerUser("lee", "other"), REGISTER_NAME_TAKEN);  // connected
    EXPECT_EQ(c.registerUser("kim", "g"), REGISTER_DONE);
    EXPECT_EQ(c.registerUser("kim2", "g1"), REGISTER_DONE);
    EXPECT_EQ(c.list(), (Names{"0:Kim", "1:lee", "0:kim", "1:kim2"}));
    // A refused registration leaves the connection with the user it carried.
    EXPECT_EQ(c.registerUser("lee", "g"), REGISTER_NAME_TAKEN);
    EXPECT_EQ(c.list(), (Names{"0:Kim", "1:lee", "0:kim", "1:kim2"}));
    EXPECT_EQ(c.registerUser("kim2", "g2", PKT_RENAME), 0);  // own name, new group
    EXPECT_EQ(contents(userFile()).substr(3 * 63 + 20, 20), nameField("g2"));
    EXPECT_EQ(c.registerUser("Kim", "g2", PKT_RENAME), REFUSED);        // another user's name
    EXPECT_EQ(nobody.registerUser("ghost", "g", PKT_RENAME), REFUSED);  // nobody logged in
    // A new name; what is held under the name it leaves is handed over (here by the log-in that
    // the rename follows at once: the server holds mail for a connected user only when its
    // connection ends, so the store is written while the server is down). Once, either way.
    worker.reset();
    const std::string payload = mailBody(0, "", "", "s", "late").substr(44);
    ASSERT_TRUE(replaceFileAtomically(storeFile(), heldRecord("kim2", 4242, payload)));
    ASSERT_TRUE(start());
    CTestClient d;
    ASSERT_TRUE(d.connect(port) &&
                d.sendRaw(frame(PKT_LOGIN, nameField("kim2")) +
                          frame(PKT_RENAME, nameField("me2") + nameField("g2"))));
    EXPECT_EQ(d.next().bytes(), result(PKT_LOGIN_RESULT, LOGIN_ACCEPTED));
    EXPECT_EQ(d.next().bytes(), frame(PKT_MAIL, int32s({4242}) + payload));
    EXPECT_EQ(d.next().bytes(), result(PKT_REGISTER_RESULT, 0));
    EXPECT_TRUE(d.expectNothing(200));
    EXPECT_TRUE(eventually([&] { return held(storeFile()).empty(); }));
    EXPECT_EQ(d.list(), (Names{"0:Kim", "0:lee", "0:kim", "1:me2"}));
}

TEST_F(Registry, TheTwoHundredAndFirstRegistrationFindsTheTableFull) {
    CTestClient c;
    ASSERT_TRUE(c.connect(port) && c.login("x") == LOGIN_UNKNOWN_NAME);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(c.registerUser("u" + std::to_string(i), "g"), REGISTER_DONE) << i;
    EXPECT_EQ(c.registerUser("u200", "g"), REGISTER_TABLE_FULL);
    EXPECT_EQ(contents(userFile()).size(), 200u * 63);
}

// The file read back by a restarted server, which stops at a repeated name and ignores a torn
// last record.
TEST_F(Registry, UserFileHoldsOneRecordOfSixtyThreeBytesPerUserAndIsReadBack) {
    const std::string twenty = "ABCDEFGHIJKLMNOPQRST";
    ASSERT_TRUE(registerOffline(port, twenty, "grp") && registerOffline(port, "zoe", twenty));
    const std::string address = std::string("127.0.0.1") + std::string(14, '\0');
    const std::string written = contents(userFile());
    EXPECT_EQ(written, twenty + nameField("grp") + address + nameField("zoe") + twenty + address);
    const std::string three = nameField("three") + written.substr(20, 43);
    for (const std::string& tail : Names{"", written.substr(0, 63) + three, "torn"}) {
        worker.reset();
        ASSERT_TRUE(replaceFileAtomically(userFile(), written + tail) && start());
        CTestClient c;
        ASSERT_TRUE(c.connect(port));
        EXPECT_EQ(c.login(twenty), LOGIN_ACCEPTED);
        EXPECT_EQ(c.list(), (Names{"1:" + twenty, "0:zoe"}));
    }
}

// A registration that cannot be saved leaves no trace: no user that mail could be accepted for
// and lost at the next restart; the same connection can register once the disk takes it.
TEST_F(Registry, AFailedSaveAnswersReason3AndLeavesNoUserBehind) {
    auto old = connectUser("old", "g");
    const std::string before = contents(userFile());
    CFileFaults::failRenamesTo("TovisUser.dat");
    CTestClient c;
    ASSERT_TRUE(c.connect(port) && c.login("new") == LOGIN_UNKNOWN_NAME);
    EXPECT_EQ(c.registerUser("new", "g"), REGISTER_SAVE_FAILED);
    EXPECT_EQ(old->registerUser("old2", "g"), REGISTER_SAVE_FAILED);  // it stays "old"
    CFileFaults::reset();
    EXPECT_EQ(contents(userFile()), before);
    EXPECT_FALSE(fileExists(userFile() + "x"));
    EXPECT_EQ(old->list(), Names{"1:old"});
    EXPECT_EQ(old->sendMail(mailBody(SEND_TO_USER, "new", "", "old", "x")), MAIL_UNKNOWN_USER);
    EXPECT_EQ(c.registerUser("new", "g"), REGISTER_DONE);
    EXPECT_EQ(old->list(), (Names{"1:old", "1:new"}));
}

TEST_F(Registry, ListFiltersAndWrongLengthsGetNoAnswer) {
    ASSERT_TRUE(registerOffline(port, "a1", "alpha") && registerOffline(port, "b1", "beta"));
    auto c = connectUser("a2", "alpha");
    EXPECT_EQ(c->list(1, "alpha"), (Names{"0:a1", "1:a2"}));
    EXPECT_EQ(c->list(1, "nobody"), Names{});
    EXPECT_EQ(c->list(7, "beta"), (Names{"0:a1", "0:b1", "1:a2"}));
    ASSERT_TRUE(c->sendRaw(frame(PKT_USERLIST_REQ, std::string(23, '\0')) +
                           frame(PKT_REGISTER, std::string(41, 'x')) +
                           frame(PKT_RENAME, std::string(39, 'x'))));
    EXPECT_TRUE(c->expectNothing(300));
    EXPECT_EQ(c->list().size(), 3u);  // still served
}

TEST_F(Registry, DeletingAUserDisconnectsItAndFreesItsPosition) {
    ASSERT_TRUE(registerOffline(port, "p0", "g"));
    auto victim = connectUser("p1", "g");
    ASSERT_TRUE(registerOffline(port, "p2", "g"));
    worker->postMessage(WM_SERVER_DELETE_USER, 0, 0, nameField("p1"));
    EXPECT_TRUE(victim->waitClosed(3000));
    ASSERT_TRUE(registerOffline(port, "p3", "g"));
    EXPECT_EQ(contents(userFile()).size(), 3u * 63);
    EXPECT_EQ(contents(userFile()).substr(63, 20), nameField("p3"));  // the freed position
}

// A rename that cannot be saved is refused and undone: the user keeps its name, mail to it is
// delivered, and the file still holds the old name.
TEST_F(Registry, ARenameThatCannotBeSavedIsUndone) {
    auto kim = connectUser("kim", "g"), sender = connectUser("sender", "g");
    const std::string before = contents(userFile());
    CFileFaults::failRenamesTo("TovisUser.dat");
    EXPECT_EQ(kim->registerUser("kimberly", "h", PKT_RENAME), REFUSED);
    CFileFaults::reset();
    EXPECT_EQ(kim->list(), (Names{"1:kim", "1:sender"}));
    EXPECT_EQ(sender->sendMail(mailBody(SEND_TO_USER, "kim", "", "sender", "still")), MAIL_DONE);
    EXPECT_EQ(kim->next().text(), "still");
    EXPECT_EQ(contents(userFile()), before);
}

// A user file that stopped loading early is kept aside whole (never over an earlier copy) before
// the first rewrite; one that cannot be read is not written over until it can be read, and its
// users are then all there.
TEST_F(Registry, AUserFileNotLoadedWholeIsNeverReplacedByThePartThatWasLoaded) {
    ASSERT_TRUE(registerOffline(port, "ann", "g") && registerOffline(port, "ben", "g"));
    const std::string two = contents(userFile());
    const std::string repeated = two + two.substr(0, 63) + two.substr(63);  // ann twice, ben again
    worker.reset();
    ASSERT_TRUE(replaceFileAtomically(userFile(), repeated));
    ASSERT_TRUE(replaceFileAtomically(userFile() + ".damaged", "earlier"));
    ASSERT_TRUE(start());
    auto cy = connectUser("cy", "g");
    EXPECT_EQ(contents(userFile() + ".damaged"), "earlier" + repeated);
    EXPECT_EQ(cy->list(), (Names{"0:ann", "0:ben", "1:cy"}));

    worker.reset();
    const std::string three = contents(userFile());
    CFileFaults::failOpensOf("TovisUser.dat");
    ASSERT_TRUE(start());
    CTestClient dee;
    ASSERT_TRUE(dee.connect(port) && dee.login("dee") == LOGIN_UNKNOWN_NAME);
    EXPECT_EQ(dee.registerUser("dee", "g"), REGISTER_SAVE_FAILED);
    CFileFaults::reset();
    EXPECT_EQ(contents(userFile()), three);
    EXPECT_EQ(dee.registerUser("dee", "g"), 0);  // the next save reads the file first
    EXPECT_EQ(dee.list(), (Names{"0:ann", "0:ben", "0:cy", "1:dee"}));
    EXPECT_EQ(contents(userFile()).size(), 4u * 63);
}

}  // namespace tovi::test
