// The receive worker: received-mail names and contents, read notices, packets left for the main
// window, and deliveries kept while the mail directory is missing.
#include <gtest/gtest.h>

#include "client_test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

std::string mail(const std::string& text, int32_t kind = MAIL_MESSAGE, int32_t token = 1) {
    return delivery(1234, kind, "al", token, text);
}

// The boxes come first: they outlive the worker.
struct ReceiveFixture : CScriptedMessageBoxes, TempClientStack {
    explicit ReceiveFixture(bool makeDir = true, CUnsavedMail* kept = nullptr)
        : TempClientStack(0, "bob", 0, makeDir) {
        receiveParam.unsaved = kept;
        startReceive();
    }
    // Puts a packet into slot 0 as the send worker does, once the slot is free.
    bool deliver(const std::string& bytes) { return slotEmpties() && put(0, bytes); }
    bool slotEmpties() {
        return eventually([&] { return slot(0).empty(); });
    }
    bool flagRaised(const char* f) {
        return eventually([&] { return CMessageFile::takeFlag(dir, f); });
    }
};

// Waits until the start of a fresh second, so that a few quick steps share one clock value.
int32_t freshSecond() {
    for (int32_t t = nowSeconds(); nowSeconds() == t;) sleepMs(1);
    return nowSeconds();
}

TEST(ReceiveWorker, NamesWithinOneSecondCountUpAndTheNextSecondStartsAtZero) {
    ReceiveFixture f;
    const std::string text = cp932("[Subject]:_[件名]_本文");
    const int32_t t = freshSecond();
    ASSERT_TRUE(f.deliver(delivery(1699999999, MAIL_MESSAGE, "carol", 1700000123, text)));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(f.deliver(mail("m")));
    ASSERT_TRUE(eventually([&] { return f.received().size() == 3; }));
    if (nowSeconds() != t) GTEST_SKIP() << "the clock passed a second while storing";
    EXPECT_EQ(f.received(),
              (Names{CMessageFile::receivedName(t, 0), CMessageFile::receivedName(t, 1),
                     CMessageFile::receivedName(t, 2)}));
    // The second paused once after n = 0, the third twice.
    EXPECT_EQ(f.receiver.namePauses(), 3);
    EXPECT_EQ(contents(f.dir + CMessageFile::receivedName(t, 0)),
              nameField("bob") + int32s({1699999999, CMessageFile::BOX_RECEIVED}) +
                  nameField("carol") + int32s({1700000123, static_cast<int32_t>(text.size())}) +
                  text);
    const int32_t next = freshSecond();
    ASSERT_TRUE(f.deliver(mail("m")) && eventually([&] { return f.received().size() == 4; }));
    EXPECT_TRUE(fileExists(f.dir + CMessageFile::receivedName(next, 0)));
    EXPECT_TRUE(f.flagRaised(CMessageFile::RECEIVED_FLAG));
    EXPECT_TRUE(f.texts().empty());
}

// Other packets are left for the main window; a delivery without its 32 fixed bytes is dropped.
TEST(ReceiveWorker, ReadNoticesMarkTheSentMailOrOnlyRaiseTheFlagOtherPacketsAreNotStored) {
    ReceiveFixture f;
    const std::string list = frame(PKT_USERLIST, std::string(44, 'u'));
    ASSERT_TRUE(f.deliver(list));
    sleepMs(300);
    ASSERT_EQ(f.slot(0), list);
    ASSERT_TRUE(f.put(0, "") && f.deliver(frame(PKT_MAIL, std::string(31, 'm'))));
    // Sent mails: a head with the token and no text. A token-1 notice leaves any token alone.
    const std::string head =
        nameField("bob") + int32s({1, CMessageFile::BOX_SENT}) + nameField("al");
    ASSERT_TRUE(replaceFileAtomically(f.dir + "_TovicS1700000500", head + int32s({1700000500, 0})));
    ASSERT_TRUE(replaceFileAtomically(f.dir + "_TovicS1", head + int32s({4242, 0})));
    ASSERT_TRUE(f.deliver(mail("", MAIL_READ_NOTICE, 1700000500)));
    ASSERT_TRUE(f.flagRaised(CMessageFile::SENT_FLAG));
    EXPECT_EQ(contents(f.dir + "_TovicS1700000500").substr(48, 4), int32s({0}));
    ASSERT_TRUE(f.deliver(mail("", MAIL_READ_NOTICE, 1)) && f.flagRaised(CMessageFile::SENT_FLAG));
    EXPECT_EQ(contents(f.dir + "_TovicS1").substr(48, 4), int32s({4242}));
    // A notice for a sent mail that was deleted, or for another user's of the shared directory,
    // changes nothing and shows nothing.
    const std::string carols = nameField("carol") + int32s({1, CMessageFile::BOX_SENT}) +
                               nameField("al") + int32s({1700000501, 0});
    ASSERT_TRUE(replaceFileAtomically(f.dir + "_TovicS1700000501", carols));
    ASSERT_TRUE(f.deliver(mail("", MAIL_READ_NOTICE, 1700000501)) &&
                f.deliver(mail("", MAIL_READ_NOTICE, 1700000502)) && f.slotEmpties());
    sleepMs(200);
    EXPECT_EQ(findFiles(f.dir, "*").size(), 3u);  // no flag and nothing of the short delivery
    EXPECT_EQ(contents(f.dir + "_TovicS1700000501"), carols);
    // One that cannot be opened shows its box.
    CFileFaults::failOpensOf("_TovicS1700000500");
    ASSERT_TRUE(f.deliver(mail("", MAIL_READ_NOTICE, 1700000500)));
    EXPECT_TRUE(f.waitForShown(1, 5000));
    CFileFaults::reset();
    EXPECT_EQ(f.texts(), Names{cp932("送信メールのチェックに失敗しました。\n")});  // the only box
}

// Mail kept while the directory is missing outlives its worker: the next one (the user chose
// another directory) stores it first, in arrival order.
TEST(ReceiveWorker, MailKeptWhileTheDirectoryIsMissingIsStoredInOrderByTheNextWorker) {
    CUnsavedMail kept;
    ReceiveFixture f(false, &kept);
    ASSERT_TRUE(f.deliver(mail("first")) && f.deliver(mail("second")) && f.waitForShown(1, 5000));
    sleepMs(1200);  // a retry or more
    EXPECT_EQ(f.texts(),
              Names{cp932("メールの保存で失敗しました。\nディスク要領が十分でないか又は、ユーザー"
                          "のメールを保存するディレクトリが無い可能性があります。\n")});
    ASSERT_TRUE(f.receiver.postMessage(WM_WORKER_STOP) && f.receiver.join(5000));
    EXPECT_EQ(kept.count(), 2u);

    CcRecMess next;
    WorkerStartParam p = f.receiveParam;
    const std::string other = f.root.path + "other/";
    ASSERT_TRUE(makeDirectories(other));
    p.mailDirectory = other.c_str();
    ASSERT_TRUE(next.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&p)) && next.start());
    const auto stored = [&] { return findFiles(other, "_TovicR1*"); };
    ASSERT_TRUE(eventually([&] { return stored().size() == 2; }));
    EXPECT_EQ(contents(other + stored()[0]).substr(56), "first");
    EXPECT_EQ(contents(other + stored()[1]).substr(56), "second");
    EXPECT_TRUE(eventually([&] { return kept.count() == 0; }));
    EXPECT_EQ(f.texts().size(), 1u);
}

// After an orderly stop or a forced end the status reads ST_STOPPED and slot 0 is left alone.
TEST(ReceiveWorker, StopAndForcedEndReadStoppedAndTakeNothingAfterwards) {
    for (bool forced : {false, true}) {
        ReceiveFixture f;
        forced ? f.receiver.endAtOnce(f.receiveView) : void(f.receiver.postMessage(WM_WORKER_STOP));
        EXPECT_TRUE(!forced || f.receiveView.getStatus() == ST_STOPPED);  // a forced end: at once
        EXPECT_TRUE(eventually([&] { return !f.receiver.isRunning(); }, 2000)) << forced;
        ASSERT_TRUE(f.deliver(mail("after")));
        sleepMs(300);
        EXPECT_EQ(f.slot(0), mail("after"));
        EXPECT_TRUE(f.received().empty());
        EXPECT_EQ(f.receiveView.getStatus(), ST_STOPPED);
    }
}

}  // namespace
}  // namespace tovi::test
