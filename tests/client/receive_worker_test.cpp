// The receive worker: received-mail names, read notices, packets left for the main window, and
// deliveries kept while the mail directory is missing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/connection/cc_rec_mess.h"
#include "client/connection/message_file.h"
#include "client/connection/packet_mailbox.h"
#include "fake_server.h"
#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "ui/scripted_message_boxes.h"

namespace tovi {
namespace {

std::string cp932(const char* utf8) {
    std::string out;
    utf8ToCp932(utf8, out);
    return out;
}

std::string deliveryFrame(int32_t kind, const char* sender, int32_t token, const std::string& text,
                          int32_t time = 1234) {
    std::string body(32, '\0');
    putInt32(body.data(), time);
    putInt32(body.data() + 4, kind);
    putName(body.data() + 8, sender);
    putInt32(body.data() + 28, token);
    return FakeServer::frameBytes(PKT_MAIL, body + text);
}

struct ReceiveFixture {
    std::string root;
    std::string dir;  // the mail directory, with its '/'
    std::unique_ptr<CMailboxStorage> storage = std::make_unique<CMailboxStorage>();
    CPacketMailbox main;     // the main window's view of the receive worker's pair
    CPacketMailbox inbound;  // the send worker's role: fills slot 0
    CScriptedMessageBoxes boxes;
    std::unique_ptr<CcRecMess> worker = std::make_unique<CcRecMess>();
    WorkerStartParam param;

    explicit ReceiveFixture(bool createDir = true) {
        CcRecMess::resetProcessStateForTests();
        char pattern[] = "/tmp/tovi_recv_XXXXXX";
        root = ::mkdtemp(pattern);
        dir = root + "/mail/";
        if (createDir) makeDirectories(dir);
        main.bind(&storage->lock, &storage->slots, &storage->receiveStatus);
        inbound.bind(&storage->lock, &storage->slots, &storage->sendStatus);
        param.lock = &storage->lock;
        param.slots = &storage->slots;
        param.status = &storage->receiveStatus;
        param.userName = "bob";
        param.mailDirectory = dir.c_str();
        worker->postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&param));
        worker->start();
    }
    ~ReceiveFixture() {
        worker.reset();
        std::system(("rm -rf '" + root + "'").c_str());
    }
    // Puts a packet into slot 0 as the send worker does, waiting for the slot to be free.
    bool deliver(const std::string& frame) {
        if (!waitUntil([&] { return inbound.peekSlot(nullptr, 0) == 0; }, 5000)) return false;
        return inbound.putSlot(static_cast<unsigned>(frame.size()), frame.data(), 0) ==
               frame.size();
    }
    bool slotEmpties() {
        return waitUntil([&] { return inbound.peekSlot(nullptr, 0) == 0; }, 5000);
    }
    // The received-mail files: "_TovicR*" also matches the flag "_TovicRecvUp", which the
    // lists skip as too short for a head.
    std::vector<std::string> received() const {
        std::vector<std::string> mails;
        for (const std::string& name : findFiles(dir, "_TovicR*"))
            if (name != CMessageFile::RECEIVED_FLAG) mails.push_back(name);
        return mails;
    }
};

// Waits until the start of a fresh second, so that a few quick steps share one clock value.
int32_t freshSecond() {
    int32_t t = nowSeconds();
    while (nowSeconds() == t) sleepMs(1);
    return nowSeconds();
}

TEST(ReceiveWorker, NamesWithinOneSecondCountUpAndTheNextSecondStartsAtZero) {
    ReceiveFixture f;
    const int32_t t = freshSecond();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(f.deliver(deliveryFrame(0, "al", 1, "m")));
    ASSERT_TRUE(waitUntil([&] { return f.received().size() == 3; }, 5000));
    if (nowSeconds() != t) GTEST_SKIP() << "the clock passed a second while storing";
    EXPECT_EQ(f.received(), (std::vector<std::string>{CMessageFile::receivedName(t, 0),
                                                      CMessageFile::receivedName(t, 1),
                                                      CMessageFile::receivedName(t, 2)}));
    const int32_t next = freshSecond();
    ASSERT_TRUE(f.deliver(deliveryFrame(0, "al", 1, "m")));
    ASSERT_TRUE(waitUntil([&] { return f.received().size() == 4; }, 5000));
    EXPECT_TRUE(fileExists(f.dir + CMessageFile::receivedName(next, 0)));
    EXPECT_TRUE(waitUntil([&] { return fileExists(f.dir + "_TovicRecvUp"); }, 5000));
    EXPECT_TRUE(f.boxes.texts().empty());
}

TEST(ReceiveWorker, StoredMailHasTheDeliveredFields) {
    ReceiveFixture f;
    const std::string text = cp932("[Subject]:_[件名]_本文");
    ASSERT_TRUE(f.deliver(deliveryFrame(MAIL_MESSAGE, "carol", 1700000123, text, 1699999999)));
    ASSERT_TRUE(waitUntil([&] { return f.received().size() == 1; }, 5000));
    MailHead head;
    std::string back;
    ASSERT_TRUE(CMessageFile::read(f.dir + f.received()[0], head, &back));
    EXPECT_STREQ(head.owner, "bob");
    EXPECT_EQ(head.time, 1699999999);
    EXPECT_EQ(head.box, 0);
    EXPECT_STREQ(head.peer, "carol");
    EXPECT_EQ(head.token, 1700000123);
    EXPECT_EQ(back, text);
}

TEST(ReceiveWorker, NameAlreadyOnDiskIsNeverOverwritten) {
    ReceiveFixture f;
    const int32_t t = freshSecond();
    // Files of an earlier run for this second and the next ones.
    for (int32_t s = t; s < t + 3; ++s)
        ASSERT_TRUE(replaceFileAtomically(f.dir + CMessageFile::receivedName(s, 0), "old"));
    ASSERT_TRUE(f.deliver(deliveryFrame(0, "al", 1, "new")));
    ASSERT_TRUE(waitUntil([&] { return f.received().size() == 4; }, 5000));
    for (int32_t s = t; s < t + 3; ++s) {
        std::string raw;
        ASSERT_TRUE(readWholeFile(f.dir + CMessageFile::receivedName(s, 0), raw));
        EXPECT_EQ(raw, "old");
    }
}

TEST(ReceiveWorker, ManyDeliveriesInABurstAllGetTheirOwnFile) {
    ReceiveFixture f;
    for (int i = 0; i < 150; ++i) ASSERT_TRUE(f.deliver(deliveryFrame(0, "al", 1, "m")));
    EXPECT_TRUE(waitUntil([&] { return f.received().size() == 150; }, 20000));
}

TEST(ReceiveWorker, ReadNoticeMarksTheSentMailRead) {
    ReceiveFixture f;
    MailHead sent;
    std::strcpy(sent.owner, "bob");
    sent.box = 1;
    sent.token = 1700000500;
    ASSERT_TRUE(CMessageFile::write(f.dir, CMessageFile::sentName(1700000500), sent, "x", 1));
    ASSERT_TRUE(f.deliver(deliveryFrame(MAIL_READ_NOTICE, "al", 1700000500, "")));
    ASSERT_TRUE(waitUntil([&] { return fileExists(f.dir + "_TovicSendUp"); }, 5000));
    MailHead back;
    ASSERT_TRUE(CMessageFile::read(f.dir + "_TovicS1700000500", back));
    EXPECT_EQ(back.token, 0);
    EXPECT_TRUE(f.received().empty());
}

TEST(ReceiveWorker, ReadNoticeForADeletedSentMailChangesNothingAndShowsNothing) {
    ReceiveFixture f;
    ASSERT_TRUE(f.deliver(deliveryFrame(MAIL_READ_NOTICE, "al", 1700000501, "")));
    ASSERT_TRUE(f.slotEmpties());
    sleepMs(200);
    EXPECT_TRUE(findFiles(f.dir, "*").empty());
    EXPECT_TRUE(f.boxes.texts().empty());
}

TEST(ReceiveWorker, ReadNoticeWithTokenOneRaisesOnlyTheFlag) {
    ReceiveFixture f;
    MailHead sent;
    sent.box = 1;
    sent.token = 4242;  // whatever it holds, a token-1 notice leaves it alone
    ASSERT_TRUE(CMessageFile::write(f.dir, CMessageFile::sentName(1), sent, "x", 1));
    ASSERT_TRUE(f.deliver(deliveryFrame(MAIL_READ_NOTICE, "al", 1, "")));
    ASSERT_TRUE(waitUntil([&] { return fileExists(f.dir + "_TovicSendUp"); }, 5000));
    MailHead back;
    ASSERT_TRUE(CMessageFile::read(f.dir + "_TovicS1", back));
    EXPECT_EQ(back.token, 4242);
}

TEST(ReceiveWorker, OtherPacketsAndShortDeliveriesAreNotStored) {
    ReceiveFixture f;
    const std::string list = FakeServer::frameBytes(PKT_USERLIST, std::string(44, 'u'));
    ASSERT_TRUE(f.deliver(list));
    sleepMs(300);
    char out[MAILBOX_SLOT_BYTES];
    ASSERT_EQ(f.inbound.peekSlot(out, 0), list.size());  // left for the main window
    EXPECT_EQ(std::string(out, list.size()), list);
    ASSERT_EQ(f.inbound.putSlot(0, nullptr, 0), 0u);
    // A delivery without its 32 fixed bytes is taken out and dropped.
    ASSERT_TRUE(f.deliver(FakeServer::frameBytes(PKT_MAIL, std::string(31, 'm'))));
    ASSERT_TRUE(f.slotEmpties());
    sleepMs(200);
    EXPECT_TRUE(findFiles(f.dir, "*").empty());
    EXPECT_TRUE(f.boxes.texts().empty());
}

TEST(ReceiveWorker, MissingDirectoryShowsTheBoxOnceAndTheMailIsStoredWhenItReturns) {
    ReceiveFixture f(false);
    ASSERT_TRUE(f.deliver(deliveryFrame(0, "al", 1, "first")));
    ASSERT_TRUE(f.deliver(deliveryFrame(0, "al", 1, "second")));
    ASSERT_TRUE(f.boxes.waitForShown(1, 5000));
    sleepMs(2500);  // two retries or more
    ASSERT_EQ(f.boxes.texts().size(), 1u);
    EXPECT_EQ(f.boxes.texts()[0],
              cp932("メールの保存で失敗しました。\nディスク要領が十分でないか又は、ユーザーのメール"
                    "を保存するディレクトリが無い可能性があります。\n"));
    EXPECT_EQ(f.worker->unsavedCount(), 2u);

    ASSERT_TRUE(makeDirectories(f.dir));
    ASSERT_TRUE(waitUntil([&] { return f.received().size() == 2; }, 5000));
    EXPECT_TRUE(waitUntil([&] { return f.worker->unsavedCount() == 0; }, 2000));
    // Arrival order is kept: the first delivery has the earlier name.
    std::vector<std::string> names = f.received();
    std::string text;
    MailHead head;
    ASSERT_TRUE(CMessageFile::read(f.dir + names[0], head, &text));
    EXPECT_EQ(text, "first");
    EXPECT_EQ(f.boxes.texts().size(), 1u);
}

TEST(ReceiveWorker, FailedReadNoticeShowsItsBox) {
    ReceiveFixture f;
    MailHead sent;
    ASSERT_TRUE(CMessageFile::write(f.dir, CMessageFile::sentName(99), sent, "", 0));
    CFileFaults::failOpensOf("_TovicS99");
    ASSERT_TRUE(f.deliver(deliveryFrame(MAIL_READ_NOTICE, "al", 99, "")));
    EXPECT_TRUE(f.boxes.waitForShown(1, 5000));
    CFileFaults::reset();
    ASSERT_EQ(f.boxes.texts().size(), 1u);
    EXPECT_EQ(f.boxes.texts()[0], cp932("送信メールのチェックに失敗しました。\n"));
}

TEST(ReceiveWorker, StopAndForcedEndReadStopped) {
    {
        ReceiveFixture f;
        ASSERT_TRUE(f.worker->postMessage(WM_WORKER_STOP));
        ASSERT_TRUE(f.worker->join(5000));
        EXPECT_EQ(f.main.getStatus(), ST_STOPPED);
    }
    ReceiveFixture f;
    ASSERT_TRUE(f.deliver(deliveryFrame(0, "al", 1, "before")));
    ASSERT_TRUE(waitUntil([&] { return f.received().size() == 1; }, 5000));
    f.worker->endAtOnce(f.main);
    EXPECT_EQ(f.main.getStatus(), ST_STOPPED);
    // Nothing is taken out of slot 0 any more.
    ASSERT_TRUE(f.deliver(deliveryFrame(0, "al", 1, "after")));
    sleepMs(300);
    EXPECT_NE(f.inbound.peekSlot(nullptr, 0), 0u);
    EXPECT_EQ(f.received().size(), 1u);
    EXPECT_TRUE(waitUntil([&] { return !f.worker->isRunning(); }, 2000));
    EXPECT_EQ(f.main.getStatus(), ST_STOPPED);
}

}  // namespace
}  // namespace tovi
