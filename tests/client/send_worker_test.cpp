// The send worker against a scripted scripted server: log-in, registration, failures and their
// status codes, the two slots, the reconnection spacing and the forced end.
#include <gtest/gtest.h>

#include <thread>

#include "client_test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

const std::string REQUEST = frame(PKT_USERLIST_REQ, std::string(24, 'x'));
const std::string ACCEPTED = result(PKT_LOGIN_RESULT, 0);
std::string mail(int32_t time, const char* text) {
    return delivery(time, MAIL_MESSAGE, "bob", NOTICE_TOKEN_NONE, text);
}

bool statusBecomes(ClientStack& f, int code, int ms) {
    return eventually([&] { return f.sendView.getStatus() == code; }, ms);
}
bool slotFilled(ClientStack& f) {
    return eventually([&] { return f.sendView.peekSlot(nullptr, 0) != 0; });
}

// The sequences that end logged in: at once, refused as an unknown name and registered on the
// same connection, or registering after the log-in. Held mail is handed over right after the
// log-in, so it can come before the log-in's answer or the registration's: it goes to slot 0 in
// its order. A delivery too big for slot 0 is skipped; one that waits for the slot has its read
// over (no read deadline). Then a request goes out.
TEST(SendWorker, EverySequenceThatLogsInDeliversInOrderAndCarriesRequests) {
    const std::string first = mail(1, "held 1"), second = mail(2, "held 2");
    const std::string unknown = result(PKT_LOGIN_RESULT, LOGIN_UNKNOWN_NAME),
                      registered = result(PKT_REGISTER_RESULT, 0);
    const std::string big = frame(PKT_MAIL, std::string(MAILBOX_MAX_BODY + 1, 'z'));
    const struct Case {
        int newRegistration;
        std::vector<std::string> replies;  // to the log-in, the registration if any, the request
        bool registers;
    } cases[] = {
        {0, {ACCEPTED + first + big + second, ""}, false},
        {0, {unknown, registered + first + second, ""}, true},
        {1, {ACCEPTED, first + second + registered, ""}, true},
        {0, {first + ACCEPTED + second, ""}, false},
        {0, {first + unknown, second + registered, ""}, true},
    };
    for (const Case& c : cases) {
        ScriptedServer server(c.replies);
        TempClientStack f(server.port(), "alice", c.newRegistration);
        ASSERT_TRUE(f.startSend() && slotFilled(f));
        if (&c == cases) sleepMs(300);  // the second is read and waits for the slot
        EXPECT_EQ(f.slot(0), first);
        // Once the next packet is read (or none comes), the worker waits without a deadline.
        EXPECT_TRUE(eventually([&] { return f.sendView.getDeadline() == 0; }));
        ASSERT_TRUE(f.put(0, "") && eventually([&] { return f.slot(0) == second; }));
        ASSERT_TRUE(f.put(0, "") && f.put(1, REQUEST));
        EXPECT_TRUE(statusBecomes(f, ST_CONNECTED, 5000)) << f.sendView.getStatus();
        EXPECT_TRUE(eventually(
            [&] { return f.slot(1).empty() && server.got(c.registers + 1) == REQUEST; }));
        EXPECT_EQ(server.got(0), frame(PKT_LOGIN, nameField("alice")));
        if (c.registers) {
            EXPECT_EQ(server.got(1), frame(PKT_REGISTER, nameField("alice") + nameField("sales")));
        }
        EXPECT_EQ(f.sender.logIns(), 1);
        EXPECT_EQ(server.accepted(), 1);
    }
}

// newRegistration registers even after an accepted log-in. Every failure ends the worker with its
// status and gives up the request not sent; a delivery read whole and waiting in slot 0 stays
// there for the receive worker.
TEST(SendWorker, AnswersThatEndTheWorkerGiveTheirStatusDropTheRequestAndKeepTheDelivery) {
    struct Case {
        int newRegistration;
        std::string answer, second;  // to the log-in, to the next frame
        int status;
    } cases[] = {
        {1, ACCEPTED, result(PKT_REGISTER_RESULT, REGISTER_NAME_TAKEN), ST_NAME_TAKEN},
        {1, ACCEPTED, result(PKT_REGISTER_RESULT, REGISTER_TABLE_FULL), ST_REGISTER_FAILED},
        {0, result(PKT_REGISTER_RESULT, 0), "", ST_PROTOCOL_ERROR},  // wrong type
        {0, result(PKT_LOGIN_RESULT, LOGIN_ALREADY_CONNECTED), "", ST_ALREADY_CONNECTED},
        {0, result(PKT_LOGIN_RESULT, LOGIN_BAD_HANDSHAKE), "", ST_PROTOCOL_ERROR},
        {0, frame(PKT_LOGIN_RESULT, std::string(3, '\0')), "", ST_PROTOCOL_ERROR},  // cut short
        {0, ACCEPTED + int32s({PKT_MAIL, -5}), "", ST_RECV_FAILED},  // a negative length
    };
    for (const Case& c : cases) {
        ScriptedServer server({c.answer, c.second});
        TempClientStack f(server.port(), "alice", c.newRegistration);
        const std::string waiting = mail(7, "waiting");
        ASSERT_TRUE(f.put(0, waiting) && f.put(1, REQUEST) && f.startSend());
        EXPECT_TRUE(statusBecomes(f, c.status, 5000))
            << c.status << " got " << f.sendView.getStatus();
        EXPECT_TRUE(eventually([&] { return !f.sender.isRunning(); }, 2000));
        EXPECT_EQ(f.slot(0), waiting);
        EXPECT_EQ(f.slot(1), "");
        // An ended worker shows no read deadline: the main window never reports it once more.
        EXPECT_EQ(f.sendView.getDeadline(), 0) << c.status;
        EXPECT_TRUE(!c.newRegistration || server.got(1).substr(0, 4) == int32s({PKT_REGISTER}));
    }
}

TEST(SendWorker, ServerThatNeverAnswersTimesOutAfterTwentySeconds) {
    ScriptedServer server({""});
    TempClientStack f(server.port());
    const int64_t startedMs = monotonicMs();
    ASSERT_TRUE(f.startSend() && eventually([&] { return f.sendView.getDeadline() != 0; }));
    // The main window may let the worker wait twice the reply time.
    EXPECT_NEAR(f.sendView.getDeadline(), nowSeconds() + 41, 1);
    ASSERT_TRUE(statusBecomes(f, ST_TIMEOUT, 30000));
    EXPECT_GE(monotonicMs() - startedMs, 19000);
}

TEST(SendWorker, ThirdFailedConnectIsReportedAfterSpacedAttempts) {
    TempClientStack f(freePort());
    ASSERT_TRUE(f.startSend());
    int64_t last = 0;
    for (int failures = 1; failures <= 3; ++failures) {
        ASSERT_TRUE(failures < 3
                        ? eventually([&] { return CcRsData::connectFailures() == failures; }, 8000)
                        : statusBecomes(f, ST_CONNECT_FAILED, 8000));
        EXPECT_EQ(f.sendView.getStatus(), failures < 3 ? ST_CONNECTING : ST_CONNECT_FAILED);
        // "more than 3 s" on a whole-second clock; the watching loop itself may be a few ms late.
        EXPECT_GE(monotonicMs() - last, failures > 1 ? 2900 : 0) << failures;
        last = monotonicMs();
    }
    EXPECT_EQ(CcRsData::connectFailures(), 0);
}

TEST(SendWorker, StopKeepsTheQueuedRequest) {
    TempClientStack f(freePort());
    ASSERT_TRUE(f.put(1, REQUEST));
    // Both messages wait before the thread runs: neither is lost, and the stop comes first.
    ASSERT_TRUE(f.sender.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&f.sendParam)));
    ASSERT_TRUE(f.sender.postMessage(WM_WORKER_STOP) && f.sender.start() && f.sender.join(5000));
    EXPECT_EQ(f.sendView.getStatus(), ST_STOPPED);
    EXPECT_EQ(f.slot(1), REQUEST);
}

// The server counts a delivery as handed over once written: at an orderly stop the worker
// half-closes and reads until the server has closed. What came is stored by the receive worker,
// or, with a kept-mail store (the window's), kept there at once and written afterwards in one go.
TEST(SendWorker, AnOrderlyStopReadsUntilTheServerClosesAndEveryDeliveryIsKept) {
    for (bool withStore : {false, true}) {
        CTcpSocket listener;
        ASSERT_TRUE(listener.listen("127.0.0.1", 0, 5));
        std::thread server([&] {
            CTcpSocket peer;
            if (listener.waitReadable(5000) <= 0 || !listener.accept(peer)) return;
            readFrame(peer);  // the log-in
            writeBytes(peer, ACCEPTED);
            // The client's end of stream, then what was still on its way, and the orderly close.
            char sink[64];
            while (peer.waitReadable(5000) > 0 && peer.readSome(sink, sizeof sink) > 0) {
            }
            writeBytes(peer, mail(1, "late 1") + frame(PKT_MAIL_RESULT, int32s({0, 0})) +
                                 mail(2, "late 2"));
            peer.close();
        });
        CScriptedMessageBoxes boxes;
        CUnsavedMail kept;
        TempClientStack f(listener.localPort());
        if (withStore) f.sendParam.unsaved = &kept;
        ASSERT_TRUE(f.start() && f.loggedIn(5000));
        f.stop();
        server.join();
        EXPECT_EQ(f.sendView.getStatus(), ST_STOPPED);
        EXPECT_EQ(kept.count(), withStore ? 2u : 0u);
        if (withStore) {
            EXPECT_EQ(kept.writeAll(f.dir, "alice"), 2u);
        }
        const Names stored = f.received();
        ASSERT_EQ(stored.size(), 2u) << withStore;
        EXPECT_EQ(contents(f.dir + stored[0]).substr(56), "late 1");
        EXPECT_EQ(contents(f.dir + stored[1]).substr(56), "late 2");
    }
}

// A connection the server closes after the log-in is made again at once (not a failed attempt);
// a new registration is sent once, and the next connection only logs in.
TEST(SendWorker, AConnectionClosedByTheServerIsMadeAgainAtOnceAndOnlyLogsIn) {
    ScriptedServer server({ACCEPTED, result(PKT_REGISTER_RESULT, 0)}, true);
    TempClientStack f(server.port(), "alice", 1);
    ASSERT_TRUE(f.startSend() && eventually([&] { return f.sender.logIns() == 2; }, 3000));
    EXPECT_EQ(server.accepted(), 2);
    EXPECT_EQ(f.sendView.getStatus(), ST_CONNECTED);
    EXPECT_EQ(CcRsData::connectFailures(), 0);
    ASSERT_TRUE(f.put(1, REQUEST));
    EXPECT_TRUE(eventually([&] { return server.got(3) == REQUEST; })) << server.got(3).size();
    EXPECT_EQ(server.got(1).substr(0, 4), int32s({PKT_REGISTER}));
    EXPECT_EQ(server.got(2), frame(PKT_LOGIN, nameField("alice")));
}

// A listener whose accept queue is full: a connection attempt to it hangs.
struct HangingListener {
    CTcpSocket listener, filler;
    HangingListener() {
        listener.listen("127.0.0.1", 0, 0);
        filler.connect("127.0.0.1", static_cast<uint16_t>(listener.localPort()), 2000);
    }
    int port() const { return listener.localPort(); }
};

// A stop ends the worker wherever it is: in a slow name look-up, in a connection attempt that
// hangs, between two attempts, waiting for the log-in's answer or holding a delivery for an
// occupied slot 0; it is given once and never lost, and an ended worker touches nothing. The next
// worker on the same mailbox then logs in and works, untouched by the one before.
TEST(SendWorker, OneStopEndsEveryStepAtOnceAndTheNextWorkerCarriesOn) {
    HangingListener hanging;
    CTcpSocket::delayNameLookupsForTests(60000);
    enum Where { LOOK_UP, HANGING_CONNECT, BETWEEN_ATTEMPTS, AWAITING_ANSWER, HOLDING_DELIVERY };
    const std::string occupant = frame(PKT_USERLIST, "");
    for (Where where :
         {LOOK_UP, HANGING_CONNECT, BETWEEN_ATTEMPTS, AWAITING_ANSWER, HOLDING_DELIVERY}) {
        for (bool forced : {true, false}) {
            ScriptedServer first({where == HOLDING_DELIVERY ? ACCEPTED + mail(1, "held") : ""});
            ScriptedServer server({ACCEPTED + mail(5, "next"), ""});
            const int ports[] = {hanging.port(), hanging.port(), freePort(), first.port(),
                                 first.port()};
            TempClientStack f(ports[where]);
            if (where == LOOK_UP) f.sendParam.serverAddress = "localhost";
            const bool occupied = where >= AWAITING_ANSWER;
            ASSERT_TRUE((!occupied || f.put(0, occupant)) && f.startSend());
            ASSERT_TRUE(eventually([&] {
                return where == BETWEEN_ATTEMPTS   ? CcRsData::connectFailures() == 1
                       : where == AWAITING_ANSWER  ? f.sendView.getDeadline() != 0
                       : where == HOLDING_DELIVERY ? f.sender.logIns() == 1
                                                   : f.sendView.getStatus() == ST_CONNECTING;
            }));
            sleepMs(where == BETWEEN_ATTEMPTS ? 1500 : 200);  // well inside the step
            // The forced end, or a bare abort given once (no repeated interrupts).
            forced ? f.sender.endAtOnce(f.sendView) : f.sender.requestAbort();
            EXPECT_TRUE(f.sender.join(3000)) << where << forced;
            if (forced) {
                EXPECT_EQ(f.sendView.getStatus(), ST_STOPPED);
                EXPECT_EQ(f.sendView.getDeadline(), 0);
            }
            EXPECT_EQ(CcRsData::connectFailures(), where == BETWEEN_ATTEMPTS ? 1 : 0);
            if (occupied) {
                EXPECT_EQ(f.slot(0), occupant);  // not cleared as a failure would
                // The slot empties; the ended worker does not deliver what it held.
                ASSERT_TRUE(f.put(0, ""));
                sleepMs(200);
                EXPECT_EQ(f.slot(0), "");
            }

            CcRsData next;
            CcRsData::resetProcessStateForTests();
            f.sendParam.serverAddress = "127.0.0.1";
            f.sendParam.port = server.port();
            ASSERT_TRUE(
                next.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&f.sendParam)) &&
                next.start() && slotFilled(f));
            EXPECT_EQ(f.slot(0), mail(5, "next"));
            EXPECT_TRUE(next.connected() && !f.sender.connected());
        }
    }
    CTcpSocket::delayNameLookupsForTests(0);
}

// Every frame the scripted server answers is on record by the time its answer arrives.
TEST(ScriptedServerSupport, RecordsEachFrameBeforeItAnswers) {
    constexpr int ROUNDS = 300;
    ScriptedServer server(std::vector<std::string>(ROUNDS, ACCEPTED));
    CTcpSocket client;
    ASSERT_TRUE(client.connect("127.0.0.1", static_cast<uint16_t>(server.port()), 2000));
    for (int i = 0; i < ROUNDS; ++i) {
        const std::string request = frame(PKT_LOGIN, nameField(std::to_string(i)));
        ASSERT_TRUE(writeBytes(client, request) && readFrame(client) == ACCEPTED);
        ASSERT_EQ(server.got(i), request) << i;
    }
}

}  // namespace
}  // namespace tovi::test
