// The connection layer against the real server: registration, log-in, deliveries stored as
// files, a read notice marking the sender's file read, and the refusals the server gives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/connection/cc_rec_mess.h"
#include "client/connection/cc_rs_data.h"
#include "client/connection/message_file.h"
#include "fake_server.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "server_child.h"
#include "ui/scripted_message_boxes.h"

namespace tovi {
namespace {

// One client as its main window would run it: storage, the one socket, both workers, and the
// main window's two views.
struct Client {
    std::string name, group, dir;
    std::unique_ptr<CMailboxStorage> storage = std::make_unique<CMailboxStorage>();
    CBsClientSocket connection{SocketRole::CLIENT};
    CPacketMailbox sendView, receiveView;
    std::unique_ptr<CcRsData> sender;
    std::unique_ptr<CcRecMess> receiver;
    WorkerStartParam sendParam, receiveParam;

    Client(const char* user, const char* grp, const std::string& root) : name(user), group(grp) {
        dir = root + "/" + name + "/";
        makeDirectories(dir);
        sendView.bind(&storage->lock, &storage->slots, &storage->sendStatus);
        receiveView.bind(&storage->lock, &storage->slots, &storage->receiveStatus);
    }
    ~Client() {
        sender.reset();
        receiver.reset();
    }
    void startSend(int port, int newRegistration) {
        sender = std::make_unique<CcRsData>();
        sendParam = WorkerStartParam{};
        sendParam.connection = &connection;
        sendParam.lock = &storage->lock;
        sendParam.slots = &storage->slots;
        sendParam.status = &storage->sendStatus;
        sendParam.serverAddress = "127.0.0.1";
        sendParam.port = port;
        sendParam.userName = name.c_str();
        sendParam.groupName = group.c_str();
        sendParam.newRegistration = newRegistration;
        sender->start();
        sender->postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&sendParam));
    }
    void startReceive() {
        receiver = std::make_unique<CcRecMess>();
        receiveParam = WorkerStartParam{};
        receiveParam.lock = &storage->lock;
        receiveParam.slots = &storage->slots;
        receiveParam.status = &storage->receiveStatus;
        receiveParam.userName = name.c_str();
        receiveParam.mailDirectory = dir.c_str();
        receiver->start();
        receiver->postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&receiveParam));
    }
    // Settles on a failure code, or on ST_CONNECTED once the worker has logged in (0 alone is
    // also what binding leaves).
    int finalStatus(int timeoutMs) {
        int status = -1;
        waitUntil(
            [&] {
                status = sendView.getStatus();
                if (status == ST_CONNECTED) return sender->logIns() > 0;
                return status != ST_CONNECTING;
            },
            timeoutMs);
        return status;
    }
    // The main window's tick: takes a reply of the given type out of slot 0.
    bool takeReply(int32_t type, std::string& body, int timeoutMs) {
        char bytes[MAILBOX_SLOT_BYTES];
        bool got = waitUntil(
            [&] {
                unsigned n = sendView.peekSlot(bytes, 0);
                if (n < 8 || getInt32(bytes) != type) return false;
                body.assign(bytes + 8, n - 8);
                return sendView.putSlot(0, nullptr, 0) == 0;
            },
            timeoutMs);
        return got;
    }
    bool request(int32_t type, const char* body, size_t length) {
        std::string frame = FakeServer::frameBytes(type, std::string(body, length));
        if (!waitUntil([&] { return sendView.peekSlot(nullptr, 1) == 0; }, 5000)) return false;
        return sendView.putSlot(static_cast<unsigned>(frame.size()), frame.data(), 1) ==
               frame.size();
    }
    std::vector<std::string> receivedMails() const {
        std::vector<std::string> out;
        for (const std::string& n : findFiles(dir, CMessageFile::RECEIVED_PATTERN))
            if (n != CMessageFile::RECEIVED_FLAG) out.push_back(n);
        return out;
    }
};

struct RealServer : ::testing::Test {
    ServerChild server;
    std::string root;
    CScriptedMessageBoxes boxes;
    void SetUp() override {
        CcRsData::resetProcessStateForTests();
        CcRecMess::resetProcessStateForTests();
        std::string error;
        ASSERT_TRUE(server.start(error)) << error << " (build the server: ninja -C build tovis)";
        root = server.directory() + "/clients";
    }
};

TEST_F(RealServer, RegisteredUsersExchangeMailAndTheReadNoticeComesBack) {
    Client alice("alice", "sales", root), bob("bob", "sales", root);
    alice.startReceive();
    bob.startReceive();
    alice.startSend(server.port(), 1);  // just set up: registers after the log-in
    ASSERT_EQ(alice.finalStatus(10000), ST_CONNECTED);
    bob.startSend(server.port(), 0);  // unknown name: refused, then registered
    ASSERT_EQ(bob.finalStatus(10000), ST_CONNECTED);

    // Alice sends to Bob alone and keeps her sent file, as the main window does.
    const int32_t token = nowSeconds();
    const std::string text = "[Subject]:_[hello]_how are you";
    char body[PACKET_BUFFER_SIZE];
    size_t length = buildMail(body, SEND_TO_USER, "bob", "", MAIL_MESSAGE, "alice", token,
                              text.data(), text.size());
    ASSERT_TRUE(alice.request(PKT_MAIL, body, length));
    MailHead sent;
    std::strcpy(sent.owner, "alice");
    sent.time = token;
    sent.box = CMessageFile::BOX_SENT;
    std::strcpy(sent.peer, "bob");
    sent.token = token;
    ASSERT_TRUE(CMessageFile::write(alice.dir, CMessageFile::sentName(token), sent, text.data(),
                                    text.size()));
    std::string result;
    ASSERT_TRUE(alice.takeReply(PKT_MAIL_RESULT, result, 10000));
    EXPECT_EQ(result, FakeServer::result(0, 0));

    ASSERT_TRUE(waitUntil([&] { return bob.receivedMails().size() == 1; }, 10000));
    MailHead got;
    std::string gotText;
    ASSERT_TRUE(CMessageFile::read(bob.dir + bob.receivedMails()[0], got, &gotText));
    EXPECT_STREQ(got.owner, "bob");
    EXPECT_STREQ(got.peer, "alice");
    EXPECT_EQ(got.token, token);
    EXPECT_EQ(gotText, text);
    EXPECT_TRUE(waitUntil(
        [&] { return CMessageFile::takeFlag(bob.dir, CMessageFile::RECEIVED_FLAG); }, 5000));

    // Bob opens it: his client sends the read notice with the token.
    length = buildReadNotice(body, "alice", "bob", got.token);
    ASSERT_TRUE(bob.request(PKT_MAIL, body, length));
    ASSERT_TRUE(bob.takeReply(PKT_MAIL_RESULT, result, 10000));
    ASSERT_TRUE(waitUntil([&] { return fileExists(alice.dir + "_TovicSendUp"); }, 10000));
    MailHead marked;
    ASSERT_TRUE(CMessageFile::read(alice.dir + CMessageFile::sentName(token), marked));
    EXPECT_EQ(marked.token, 0);
    EXPECT_TRUE(alice.receivedMails().empty());
    EXPECT_TRUE(boxes.texts().empty());
}

TEST_F(RealServer, ServerRefusalsBecomeStatusCodes) {
    {
        Client first("carol", "dev", root);
        first.startSend(server.port(), 1);
        ASSERT_EQ(first.finalStatus(10000), ST_CONNECTED);
        // The same name again while carol is connected.
        Client twin("carol", "dev", root);
        twin.startSend(server.port(), 0);
        EXPECT_EQ(twin.finalStatus(10000), ST_ALREADY_CONNECTED);
        first.sender->postMessage(WM_WORKER_STOP);
        ASSERT_TRUE(first.sender->join(5000));
        EXPECT_EQ(first.sendView.getStatus(), ST_STOPPED);
    }
    // carol is registered now: a plain log-in works, a new registration of her name does not.
    Client again("carol", "dev", root);
    again.startSend(server.port(), 0);
    EXPECT_EQ(again.finalStatus(10000), ST_CONNECTED);
    again.sender->postMessage(WM_WORKER_STOP);
    ASSERT_TRUE(again.sender->join(5000));
    // The server may take a moment to see that connection go; until then carol is connected.
    int status = -1;
    for (int attempt = 0; attempt < 20; ++attempt) {
        Client newcomer("carol", "dev", root);
        newcomer.startSend(server.port(), 1);
        status = newcomer.finalStatus(10000);
        if (status != ST_ALREADY_CONNECTED) break;
        sleepMs(100);
    }
    EXPECT_EQ(status, ST_NAME_TAKEN);
}

TEST_F(RealServer, MailHeldWhileAwayIsStoredAfterTheNextLogIn) {
    {
        Client dave("dave", "ops", root);
        dave.startSend(server.port(), 1);
        ASSERT_EQ(dave.finalStatus(10000), ST_CONNECTED);
    }
    Client erin("erin", "ops", root);
    erin.startReceive();  // a group send reaches the sender too, before the result
    erin.startSend(server.port(), 1);
    ASSERT_EQ(erin.finalStatus(10000), ST_CONNECTED);
    char body[PACKET_BUFFER_SIZE];
    size_t length = buildMail(body, SEND_TO_GROUP, "", "ops", MAIL_MESSAGE, "erin",
                              NOTICE_TOKEN_NONE, "[Subject]:_[x]_y", 16);
    ASSERT_TRUE(erin.request(PKT_MAIL, body, length));
    std::string result;
    ASSERT_TRUE(erin.takeReply(PKT_MAIL_RESULT, result, 10000));
    EXPECT_EQ(result, FakeServer::result(0, 0));

    Client dave("dave", "ops", root);
    dave.startReceive();
    dave.startSend(server.port(), 0);
    ASSERT_EQ(dave.finalStatus(10000), ST_CONNECTED);
    ASSERT_TRUE(waitUntil([&] { return dave.receivedMails().size() == 1; }, 10000));
    MailHead head;
    ASSERT_TRUE(CMessageFile::read(dave.dir + dave.receivedMails()[0], head));
    EXPECT_EQ(head.token, NOTICE_TOKEN_NONE);
    EXPECT_STREQ(head.peer, "erin");
    EXPECT_TRUE(waitUntil([&] { return erin.receivedMails().size() == 1; }, 5000));
}

}  // namespace
}  // namespace tovi
