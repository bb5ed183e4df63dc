// The send worker against a scripted fake server: log-in, registration, failures and their
// status codes, the two slots, the reconnection spacing and the forced end.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "client/connection/cc_rs_data.h"
#include "client/connection/packet_mailbox.h"
#include "fake_server.h"
#include "platform/clock.h"
#include "protocol/packets.h"

namespace tovi {
namespace {

std::string name20(const char* name) {
    std::string field(20, '\0');
    putName(field.data(), name);
    return field;
}

std::string delivery(int32_t time, const char* sender, const std::string& text) {
    std::string body(32, '\0');
    putInt32(body.data(), time);
    putInt32(body.data() + 4, MAIL_MESSAGE);
    putName(body.data() + 8, sender);
    putInt32(body.data() + 28, NOTICE_TOKEN_NONE);
    return body + text;
}

// The main window's side: the storage, its view of the send worker's pair, the worker.
struct SendFixture {
    std::unique_ptr<CMailboxStorage> storage = std::make_unique<CMailboxStorage>();
    CPacketMailbox main;
    CPacketMailbox peer;  // a second party on the same slots (the receive worker's role)
    CBsClientSocket connection{SocketRole::CLIENT};
    std::unique_ptr<CcRsData> worker = std::make_unique<CcRsData>();
    WorkerStartParam param;

    explicit SendFixture(int port, int newRegistration = 0) {
        CcRsData::resetProcessStateForTests();
        main.bind(&storage->lock, &storage->slots, &storage->sendStatus);
        peer.bind(&storage->lock, &storage->slots, &storage->receiveStatus);
        param.connection = &connection;
        param.lock = &storage->lock;
        param.slots = &storage->slots;
        param.status = &storage->sendStatus;
        param.serverAddress = "127.0.0.1";
        param.port = port;
        param.userName = "alice";
        param.groupName = "sales";
        param.newRegistration = newRegistration;
    }
    ~SendFixture() { worker.reset(); }
    void start() {
        ASSERT_TRUE(worker->postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&param)));
        ASSERT_TRUE(worker->start());
    }
    bool statusBecomes(int code, int timeoutMs) {
        return waitUntil([&] { return main.getStatus() == code; }, timeoutMs);
    }
    std::string slot(int index) {
        char bytes[MAILBOX_SLOT_BYTES];
        unsigned n = main.peekSlot(bytes, index);
        return std::string(bytes, n);
    }
    bool put(int index, const std::string& bytes) {
        return main.putSlot(static_cast<unsigned>(bytes.size()), bytes.data(), index) ==
               bytes.size();
    }
};

// Answers the log-in with the given result; returns false when no log-in came.
bool answerLogIn(CTcpSocket& peer, int32_t failed, int32_t reason, Frame* login = nullptr) {
    Frame f;
    if (!FakeServer::readFrame(peer, f) || f.type != PKT_LOGIN) return false;
    if (login) *login = f;
    return FakeServer::writeFrame(peer, PKT_LOGIN_RESULT, FakeServer::result(failed, reason));
}

TEST(SendWorker, LogsInThenCarriesPacketsBothWays) {
    std::atomic<bool> sawRequest{false};
    Frame login;
    FakeServer server([&](CTcpSocket& peer, int) {
        if (!answerLogIn(peer, 0, 0, &login)) return;
        FakeServer::writeFrame(peer, PKT_MAIL, delivery(77, "bob", "hello"));
        Frame request;
        if (FakeServer::readFrame(peer, request) && request.type == PKT_USERLIST_REQ &&
            request.body == std::string(24, 'x'))
            sawRequest.store(true);
        FakeServer::waitForClose(peer, 5000);
    });
    SendFixture f(server.port());
    f.start();
    // Status 0 is also what binding leaves: the delivery shows that the log-in went through.
    ASSERT_TRUE(waitUntil([&] { return f.main.peekSlot(nullptr, 0) != 0; }, 5000));
    EXPECT_EQ(f.main.getStatus(), ST_CONNECTED);
    EXPECT_EQ(login.body, name20("alice"));
    EXPECT_EQ(f.slot(0), FakeServer::frameBytes(PKT_MAIL, delivery(77, "bob", "hello")));
    EXPECT_EQ(f.main.getDeadline(), 0);

    ASSERT_TRUE(f.put(1, FakeServer::frameBytes(PKT_USERLIST_REQ, std::string(24, 'x'))));
    ASSERT_TRUE(waitUntil([&] { return f.main.peekSlot(nullptr, 1) == 0; }, 5000));
    ASSERT_TRUE(waitUntil([&] { return sawRequest.load(); }, 5000));
    EXPECT_EQ(f.main.getStatus(), ST_CONNECTED);
    EXPECT_EQ(server.accepted(), 1);
}

TEST(SendWorker, RefusedLogInRegistersOnTheSameConnection) {
    Frame registration;
    FakeServer server([&](CTcpSocket& peer, int) {
        if (!answerLogIn(peer, 1, LOGIN_UNKNOWN_NAME)) return;
        if (!FakeServer::readFrame(peer, registration)) return;
        FakeServer::writeFrame(peer, PKT_REGISTER_RESULT, FakeServer::result(0, 0));
        FakeServer::writeFrame(peer, PKT_MAIL, delivery(1, "bob", "welcome"));
        FakeServer::waitForClose(peer, 5000);
    });
    SendFixture f(server.port());
    f.start();
    ASSERT_TRUE(waitUntil([&] { return f.main.peekSlot(nullptr, 0) != 0; }, 5000));
    EXPECT_EQ(f.main.getStatus(), ST_CONNECTED);
    EXPECT_EQ(registration.type, PKT_REGISTER);
    EXPECT_EQ(registration.body, name20("alice") + name20("sales"));
    EXPECT_EQ(server.accepted(), 1);
}

// newRegistration registers after an accepted log-in; the server's answers decide the status.
TEST(SendWorker, NewRegistrationRegistersAndReportsTheRefusal) {
    struct Case {
        int32_t reason;
        int status;
    } cases[] = {{REGISTER_NAME_TAKEN, ST_NAME_TAKEN}, {REGISTER_TABLE_FULL, ST_REGISTER_FAILED}};
    for (const Case& c : cases) {
        std::atomic<int32_t> sentType{0};
        FakeServer server([&](CTcpSocket& peer, int) {
            if (!answerLogIn(peer, 0, 0)) return;
            Frame r;
            if (!FakeServer::readFrame(peer, r)) return;
            sentType.store(r.type);
            FakeServer::writeFrame(peer, PKT_REGISTER_RESULT, FakeServer::result(1, c.reason));
            FakeServer::waitForClose(peer, 5000);
        });
        SendFixture f(server.port(), 1);
        // A failure empties both slots.
        ASSERT_TRUE(f.put(0, FakeServer::frameBytes(PKT_USERLIST, "")));
        ASSERT_TRUE(f.put(1, FakeServer::frameBytes(PKT_USERLIST_REQ, std::string(24, 0))));
        f.start();
        ASSERT_TRUE(f.statusBecomes(c.status, 5000)) << c.reason;
        EXPECT_EQ(sentType.load(), PKT_REGISTER);
        EXPECT_TRUE(waitUntil([&] { return !f.worker->isRunning(); }, 2000));
        EXPECT_EQ(f.main.peekSlot(nullptr, 0), 0u);
        EXPECT_EQ(f.main.peekSlot(nullptr, 1), 0u);
        EXPECT_FALSE(f.connection.isConnected());
    }
}

// Answers in the log-in sequence that end the worker, each on a fresh worker.
TEST(SendWorker, LogInAnswersThatEndTheWorker) {
    struct Case {
        int32_t type;
        std::string body;
        int status;
    } cases[] = {
        {PKT_REGISTER_RESULT, FakeServer::result(0, 0), ST_PROTOCOL_ERROR},  // wrong type
        {PKT_LOGIN_RESULT, FakeServer::result(1, LOGIN_ALREADY_CONNECTED), ST_ALREADY_CONNECTED},
        {PKT_LOGIN_RESULT, FakeServer::result(1, LOGIN_BAD_HANDSHAKE), ST_PROTOCOL_ERROR},
        {PKT_LOGIN_RESULT, std::string(3, '\0'), ST_PROTOCOL_ERROR},  // no whole result
    };
    for (const Case& c : cases) {
        FakeServer server([&](CTcpSocket& peer, int) {
            Frame login;
            if (!FakeServer::readFrame(peer, login)) return;
            FakeServer::writeFrame(peer, c.type, c.body);
            FakeServer::waitForClose(peer, 5000);
        });
        SendFixture f(server.port());
        ASSERT_TRUE(f.put(1, FakeServer::frameBytes(PKT_USERLIST_REQ, std::string(24, 0))));
        f.start();
        EXPECT_TRUE(f.statusBecomes(c.status, 5000)) << c.status << " got " << f.main.getStatus();
        EXPECT_TRUE(waitUntil([&] { return !f.worker->isRunning(); }, 2000));
        EXPECT_EQ(f.main.peekSlot(nullptr, 1), 0u);
    }
}

TEST(SendWorker, ServerThatNeverAnswersTimesOutAfterTwentySeconds) {
    FakeServer server([&](CTcpSocket& peer, int) {
        Frame login;
        if (!FakeServer::readFrame(peer, login)) return;
        FakeServer::waitForClose(peer, 30000);
    });
    SendFixture f(server.port());
    const int32_t started = nowSeconds();
    const int64_t startedMs = monotonicMs();
    f.start();
    ASSERT_TRUE(waitUntil([&] { return f.main.getDeadline() != 0; }, 5000));
    // The main window may let the worker wait twice the reply time.
    EXPECT_GE(f.main.getDeadline(), started + 40);
    EXPECT_LE(f.main.getDeadline(), started + 42);
    EXPECT_EQ(f.main.getStatus(), ST_CONNECTING);
    ASSERT_TRUE(f.statusBecomes(ST_TIMEOUT, 30000));
    EXPECT_GE(monotonicMs() - startedMs, 19000);
}

TEST(SendWorker, ThirdFailedConnectIsReportedAfterSpacedAttempts) {
    SendFixture f(closedPort());
    f.start();
    int64_t failedAt[3] = {0, 0, 0};
    ASSERT_TRUE(waitUntil([&] { return CcRsData::connectFailures() == 1; }, 3000));
    failedAt[0] = monotonicMs();
    EXPECT_EQ(f.main.getStatus(), ST_CONNECTING);
    ASSERT_TRUE(waitUntil([&] { return CcRsData::connectFailures() == 2; }, 8000));
    failedAt[1] = monotonicMs();
    EXPECT_EQ(f.main.getStatus(), ST_CONNECTING);
    ASSERT_TRUE(f.statusBecomes(ST_CONNECT_FAILED, 8000));
    failedAt[2] = monotonicMs();
    // "more than 3 s" on a whole-second clock; the watching loop itself may be a few ms late.
    EXPECT_GE(failedAt[1] - failedAt[0], 2900);
    EXPECT_GE(failedAt[2] - failedAt[1], 2900);
    EXPECT_EQ(CcRsData::connectFailures(), 0);
}

TEST(SendWorker, SecondDeliveryWaitsUntilSlotZeroIsEmptied) {
    FakeServer server([&](CTcpSocket& peer, int) {
        if (!answerLogIn(peer, 0, 0)) return;
        std::string both = FakeServer::frameBytes(PKT_MAIL, delivery(1, "bob", "first")) +
                           FakeServer::frameBytes(PKT_MAIL, delivery(2, "bob", "second"));
        peer.writeAll(both.data(), both.size(), 5000);
        FakeServer::waitForClose(peer, 10000);
    });
    SendFixture f(server.port());
    f.start();
    ASSERT_TRUE(waitUntil([&] { return f.main.peekSlot(nullptr, 0) != 0; }, 5000));
    EXPECT_EQ(f.slot(0), FakeServer::frameBytes(PKT_MAIL, delivery(1, "bob", "first")));
    sleepMs(300);
    EXPECT_EQ(f.slot(0), FakeServer::frameBytes(PKT_MAIL, delivery(1, "bob", "first")));
    // While it waits, the inbound read deadline stays set: the worker is inside a delivery.
    EXPECT_NE(f.main.getDeadline(), 0);
    EXPECT_EQ(f.peer.putSlot(0, nullptr, 0), 0u);
    ASSERT_TRUE(waitUntil(
        [&] { return f.slot(0) == FakeServer::frameBytes(PKT_MAIL, delivery(2, "bob", "second")); },
        5000));
    EXPECT_TRUE(waitUntil([&] { return f.main.getDeadline() == 0; }, 2000));
}

TEST(SendWorker, PacketTooBigForSlotZeroIsSkippedAndTheConnectionGoesOn) {
    FakeServer server([&](CTcpSocket& peer, int) {
        if (!answerLogIn(peer, 0, 0)) return;
        FakeServer::writeFrame(peer, PKT_MAIL, std::string(MAILBOX_MAX_BODY + 1, 'z'));
        FakeServer::writeFrame(peer, PKT_MAIL, delivery(5, "bob", "after"));
        FakeServer::waitForClose(peer, 10000);
    });
    SendFixture f(server.port());
    f.start();
    ASSERT_TRUE(waitUntil([&] { return f.main.peekSlot(nullptr, 0) != 0; }, 5000));
    EXPECT_EQ(f.slot(0), FakeServer::frameBytes(PKT_MAIL, delivery(5, "bob", "after")));
    EXPECT_EQ(f.main.getStatus(), ST_CONNECTED);
}

TEST(SendWorker, AbsurdLengthLosesTheStream) {
    FakeServer server([&](CTcpSocket& peer, int) {
        if (!answerLogIn(peer, 0, 0)) return;
        char header[8];
        putInt32(header, PKT_MAIL);
        putInt32(header + 4, -5);
        peer.writeAll(header, 8, 5000);
        FakeServer::waitForClose(peer, 10000);
    });
    SendFixture f(server.port());
    f.start();
    EXPECT_TRUE(f.statusBecomes(ST_RECV_FAILED, 5000));
}

TEST(SendWorker, StopKeepsTheQueuedRequest) {
    SendFixture f(closedPort());
    const std::string request = FakeServer::frameBytes(PKT_USERLIST_REQ, std::string(24, 0));
    ASSERT_TRUE(f.put(1, request));
    // Both messages wait before the thread runs: neither is lost, and the stop comes first.
    ASSERT_TRUE(f.worker->postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&f.param)));
    ASSERT_TRUE(f.worker->postMessage(WM_WORKER_STOP));
    ASSERT_TRUE(f.worker->start());
    ASSERT_TRUE(f.worker->join(5000));
    EXPECT_EQ(f.main.getStatus(), ST_STOPPED);
    EXPECT_EQ(f.slot(1), request);
}

TEST(SendWorker, ForcedEndReadsStoppedAndTouchesNothingAfterwards) {
    FakeServer server([&](CTcpSocket& peer, int) {
        if (!answerLogIn(peer, 0, 0)) return;
        FakeServer::writeFrame(peer, PKT_MAIL, delivery(1, "bob", "waits"));
        FakeServer::waitForClose(peer, 10000);
    });
    SendFixture f(server.port());
    // Slot 0 is taken, so the worker holds the delivery and waits for the slot.
    const std::string occupant = FakeServer::frameBytes(PKT_USERLIST, "");
    ASSERT_TRUE(f.put(0, occupant));
    f.start();
    ASSERT_TRUE(waitUntil([&] { return f.main.getDeadline() != 0; }, 5000));
    sleepMs(100);  // the delivery has been read and waits for the slot
    EXPECT_EQ(f.main.getStatus(), ST_CONNECTED);

    const int64_t before = monotonicMs();
    f.worker->endAtOnce(f.main);
    EXPECT_LT(monotonicMs() - before, 3000);
    EXPECT_FALSE(f.worker->isRunning());
    EXPECT_EQ(f.main.getStatus(), ST_STOPPED);
    EXPECT_EQ(f.main.getDeadline(), 0);
    EXPECT_EQ(f.slot(0), occupant);  // not cleared as a failure would
    // The slot empties; the ended worker does not deliver what it held.
    EXPECT_EQ(f.peer.putSlot(0, nullptr, 0), 0u);
    sleepMs(200);
    EXPECT_EQ(f.main.peekSlot(nullptr, 0), 0u);
    EXPECT_EQ(f.main.getStatus(), ST_STOPPED);
}

TEST(SendWorker, ForcedEndCutsAReplyWaitShort) {
    FakeServer server([&](CTcpSocket& peer, int) {
        Frame login;
        if (!FakeServer::readFrame(peer, login)) return;
        FakeServer::waitForClose(peer, 10000);
    });
    SendFixture f(server.port());
    f.start();
    ASSERT_TRUE(waitUntil([&] { return f.main.getDeadline() != 0; }, 5000));
    const int64_t before = monotonicMs();
    f.worker->endAtOnce(f.main);
    EXPECT_LT(monotonicMs() - before, 3000);
    EXPECT_FALSE(f.worker->isRunning());
    EXPECT_EQ(f.main.getStatus(), ST_STOPPED);
}

TEST(SendWorker, ConnectionClosedByTheServerIsMadeAgainAtOnce) {
    FakeServer server([&](CTcpSocket& peer, int index) {
        if (!answerLogIn(peer, 0, 0)) return;
        if (index == 0) return;  // the first connection ends right after the log-in
        FakeServer::writeFrame(peer, PKT_MAIL, delivery(3, "bob", "again"));
        FakeServer::waitForClose(peer, 10000);
    });
    SendFixture f(server.port());
    f.start();
    ASSERT_TRUE(waitUntil([&] { return f.worker->logIns() == 1; }, 5000));
    const int64_t firstLogIn = monotonicMs();
    ASSERT_TRUE(waitUntil([&] { return f.main.peekSlot(nullptr, 0) != 0; }, 10000));
    EXPECT_EQ(f.worker->logIns(), 2);
    EXPECT_EQ(server.accepted(), 2);
    EXPECT_EQ(f.main.getStatus(), ST_CONNECTED);
    // A lost connection is not a failed attempt: the next one comes at the next pass.
    EXPECT_LT(monotonicMs() - firstLogIn, 3000);
}

}  // namespace
}  // namespace tovi
