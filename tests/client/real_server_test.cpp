// The connection layer against the real server ("tovis --headless --config-dir DIR" as a child on
// a free port, found through $TOVI_BIN_DIR or bin/ of the build directory): registration, log-in,
// a delivery stored as a file, and a read notice marking the sender's file read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client_test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi {
namespace {

struct ServerChild {
    TempDir dir;
    int port = closedPort();
    pid_t pid = -1;
    ~ServerChild() {  // a server that does not end on SIGTERM hangs the test
        if (pid > 0 && ::kill(pid, SIGTERM) == 0) ::waitpid(pid, nullptr, 0);
    }
    // Writes DIR/Tovis.ini, starts the server and waits until it answers a log-in.
    std::string start() {
        const char* bin = std::getenv("TOVI_BIN_DIR");
        const std::string program = std::string(bin ? bin : "bin") + "/tovis";
        if (!fileExists(program)) return "no " + program + " (build it: ninja -C build tovis)";
        replaceFileAtomically(dir.path + "Tovis.ini",
                              "[SERVER]\nPORT=" + std::to_string(port) + "\nDELLIMIT=0\n");
        if ((pid = ::fork()) == 0) {
            (void)std::freopen((dir.path + "server.log").c_str(), "w", stderr);
            ::execl(program.c_str(), program.c_str(), "--headless", "--config-dir",
                    dir.path.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // The probe logs in, as a name nobody has, and waits for the answer: a silent connection
        // would hold the server's log-in wait for its full 10 s.
        for (int i = 0; pid > 0 && i < 200; ++i, sleepMs(50)) {
            CTcpSocket probe;
            if (probe.connect("127.0.0.1", static_cast<uint16_t>(port), 500) &&
                writeBytes(probe, frame(PKT_LOGIN, name20("probe"))) &&
                readFrame(probe, 10000).substr(0, 4) == int32s({PKT_LOGIN_RESULT}))
                return "";
        }
        return "the server did not accept connections";
    }
};

// Sends a mail request through slot 1 and takes its result out of slot 0, as the main window does.
std::string send(ClientStack& c, const char* body, size_t length) {
    std::string reply;
    if (c.put(1, frame(PKT_MAIL, std::string(body, length))))
        waitUntil([&] { return (reply = c.slot(0)).substr(0, 4) == int32s({PKT_MAIL_RESULT}); },
                  10000);
    c.put(0, "");
    return reply.size() < 8 ? "none" : reply.substr(8);
}

TEST(RealServer, RegisteredUsersExchangeMailAndTheReadNoticeComesBack) {
    CScriptedMessageBoxes boxes;
    ServerChild server;
    ASSERT_EQ(server.start(), "");
    ClientStack alice(server.port, "alice", 1), bob(server.port, "bob");
    // Alice has just set up: she registers after the log-in. Bob's unknown name is refused, then
    // registered.
    // Logged in: ST_CONNECTED after a log-in (0 alone is also what binding leaves).
    for (ClientStack* c : {&alice, &bob})
        ASSERT_TRUE(
            c->startReceive() && c->startSend() &&
            waitUntil(
                [&] { return c->sendView.getStatus() == ST_CONNECTED && c->sender.logIns() > 0; },
                10000));

    // Alice sends to Bob alone and keeps her sent file, as the main window does.
    const int32_t token = nowSeconds();
    const std::string text = "[Subject]:_[hello]_how are you";
    const MailHead sent{"alice", token, CMessageFile::BOX_SENT, "bob", token};
    ASSERT_TRUE(CMessageFile::write(alice.dir, CMessageFile::sentName(token), sent, text.data(),
                                    text.size()));
    char body[PACKET_BUFFER_SIZE];
    size_t length = buildMail(body, SEND_TO_USER, "bob", "", MAIL_MESSAGE, "alice", token,
                              text.data(), text.size());
    EXPECT_EQ(send(alice, body, length), int32s({0, 0}));

    ASSERT_TRUE(waitUntil([&] { return bob.received().size() == 1; }, 10000));
    const std::string stored = fileText(bob.dir + bob.received()[0]);  // the time is the server's
    EXPECT_EQ(stored.substr(0, 20) + stored.substr(24),
              name20("bob") + int32s({0}) + name20("alice") +
                  int32s({token, static_cast<int32_t>(text.size())}) + text);
    EXPECT_TRUE(waitUntil(
        [&] { return CMessageFile::takeFlag(bob.dir, CMessageFile::RECEIVED_FLAG); }, 5000));
    // Bob opens it: his client sends the read notice with the token.
    EXPECT_EQ(send(bob, body, buildReadNotice(body, "alice", "bob", token)), int32s({0, 0}));
    ASSERT_TRUE(waitUntil(
        [&] { return CMessageFile::takeFlag(alice.dir, CMessageFile::SENT_FLAG); }, 10000));
    EXPECT_EQ(fileText(alice.dir + CMessageFile::sentName(token)).substr(48, 4), int32s({0}));
    EXPECT_TRUE(alice.received().empty());
    EXPECT_TRUE(boxes.texts().empty());
}

}  // namespace
}  // namespace tovi
