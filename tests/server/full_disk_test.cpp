// The server on a file system that fills up: a small tmpfs mounted for the test (skipped where
// mounting is not allowed). A full disk refuses new mail and registrations cleanly, and neither
// loses, repeats nor blocks what was accepted before.
#include <sys/mount.h>

#include "server_support.h"

namespace tovi::test {

class FullDisk : public ServerTest {
  protected:
    void SetUp() override {
        if (::mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=512k") != 0)
            GTEST_SKIP() << "cannot mount a small file system here";
        mounted = true;
        ServerTest::SetUp();
    }
    void TearDown() override {
        ServerTest::TearDown();
        worker.reset();
        if (mounted) ::umount2(dir.path.c_str(), MNT_DETACH);
    }
    // Takes every byte left.
    void fill() {
        CFile filler;
        ASSERT_TRUE(filler.open(dir.file("filler"), CFile::CREATE_KEEP) && filler.seekToEnd());
        const std::string block(4096, 'f');
        while (filler.write(block.data(), block.size())) {
        }
        for (size_t n = 2048; n > 0; n /= 2)
            while (filler.write(block.data(), n)) {
            }
    }
    bool mounted = false;
};

TEST_F(FullDisk, RefusesCleanlyAndNeitherLosesNorRepeatsWhatWasAccepted) {
    auto tx = connectUser("tx", "g");
    ASSERT_TRUE(registerOffline(port, "rx", "g"));
    for (const char* text : {"a", "b", "c"})
        ASSERT_EQ(tx->sendMail(mailBody(SEND_TO_USER, "rx", "", "tx", text)), MAIL_DONE);
    fill();
    // A registration that cannot be saved leaves no user that mail could be accepted for.
    CTestClient ghost;
    ASSERT_TRUE(ghost.connect(port) && ghost.login("ghost") == LOGIN_UNKNOWN_NAME);
    EXPECT_EQ(ghost.registerUser("ghost", "g"), REGISTER_SAVE_FAILED);
    EXPECT_EQ(tx->sendMail(mailBody(SEND_TO_USER, "ghost", "", "tx", "g")), MAIL_UNKNOWN_USER);
    // Mail that cannot be held is refused, and its torn record does not block the store.
    EXPECT_EQ(tx->sendMail(mailBody(SEND_TO_USER, "rx", "", "tx", std::string(19000, 'x'))),
              MAIL_HOLD_FAILED);
    {
        CTestClient rx;
        ASSERT_TRUE(rx.connect(port) && rx.login("rx") == LOGIN_ACCEPTED);
        for (const char* text : {"a", "b", "c"}) EXPECT_EQ(rx.next().text(), text);
        EXPECT_TRUE(rx.expectNothing(300));
    }
    ASSERT_TRUE(waitOffline(port, "rx"));
    // The notes of what was handed over were written on the full disk: a restart repeats none.
    tx.reset();
    worker.reset();
    ASSERT_TRUE(start());
    {
        CTestClient rx;
        ASSERT_TRUE(rx.connect(port) && rx.login("rx") == LOGIN_ACCEPTED);
        EXPECT_TRUE(rx.expectNothing(500));
    }
    ASSERT_TRUE(waitOffline(port, "rx") && removeFile(dir.file("filler")));
    tx = connectUser("tx", "g");
    EXPECT_EQ(tx->sendMail(mailBody(SEND_TO_USER, "rx", "", "tx", "d")), MAIL_DONE);
    CTestClient rx;
    ASSERT_TRUE(rx.connect(port) && rx.login("rx") == LOGIN_ACCEPTED);
    EXPECT_EQ(rx.next().text(), "d");
    EXPECT_TRUE(rx.expectNothing(300));
    EXPECT_EQ(connectedFlag(port, "ghost"), -1);
    EXPECT_TRUE(eventually([&] { return held(storeFile()).empty(); }));
}

}  // namespace tovi::test
