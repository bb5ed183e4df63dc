// Crash consistency: the tovis program is killed at random moments while it appends held mail
// and rewrites its store; no held mail it has answered with success may be lost.
#include <gtest/gtest.h>
#include <signal.h>

#include <random>
#include <set>
#include <thread>

#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "server_fixture.h"

namespace tovi::test {
namespace {

// The texts of the records held for name in the store file (a torn tail is ignored).
std::set<std::string> heldTexts(const std::string& storePath, const std::string& name) {
    std::string data;
    std::set<std::string> texts;
    readWholeFile(storePath, data);
    for (size_t off = 0; off + 28 <= data.size();) {
        int32_t length = getInt32(data.data() + off + 24);
        if (length < 0 || off + 28 + static_cast<size_t>(length) > data.size()) break;
        std::string n = data.substr(off, 20);
        n.resize(strnlen(n.c_str(), 20));
        if (n == name && length >= 28)
            texts.insert(data.substr(off + 28 + 28, static_cast<size_t>(length) - 28));
        off += 28 + static_cast<size_t>(length);
    }
    return texts;
}

TEST(CrashConsistency, KillsDuringAppendsAndRewritesLoseNoAcceptedMail) {
    CTempDir dir;
    const int port = freePort();
    ASSERT_TRUE(replaceFileAtomically(dir.file("Tovis.ini"),
                                      "[SERVER]\nPORT=" + std::to_string(port) + "\n"));
    std::mt19937 random(12345);
    std::set<std::string> accepted;
    const std::string padding(1000, 'p');

    for (int round = 0; round < 8; ++round) {
        ServerProcess tovis;
        ASSERT_TRUE(startTovis(dir.path(), tovis));
        ASSERT_TRUE(waitServerUp(port, 5000));
        if (round == 0) {
            ASSERT_TRUE(registerOffline(port, "rx", "g"));
            ASSERT_TRUE(registerOffline(port, "churn", "g"));
        }
        // Everything accepted so far survived the kills before.
        std::set<std::string> stored = heldTexts(dir.file("TovisBackMail.dat"), "rx");
        for (const std::string& text : accepted) ASSERT_EQ(stored.count(text), 1u) << text;

        const int killAfterMs = 30 + static_cast<int>(random() % 400);
        const pid_t pid = tovis.pid;
        std::thread killer([pid, killAfterMs] {
            sleepMs(killAfterMs);
            ::kill(pid, SIGKILL);
        });
        CTestClient tx;
        bool up = tx.connect(port) && tx.login("tx") >= 0;
        for (int n = 0; up && n < 100000; ++n) {
            const std::string text = std::to_string(round) + "-" + std::to_string(n) + padding;
            int32_t failed = 1;
            int reason = tx.sendMail(mailBody(SEND_TO_USER, "rx", "", "tx", text), &failed);
            if (reason < 0) break;
            if (reason == MAIL_DONE) accepted.insert(text);
            if (n % 5 == 0) {  // a log-in rewrites the whole store
                CTestClient churn;
                if (!churn.connect(port) || churn.login("churn") < 0) break;
            }
        }
        killer.join();
        EXPECT_EQ(waitTovis(tovis, 5000), -2);
    }
    ASSERT_GT(accepted.size(), 20u);

    // The recipient finally logs in and receives every accepted mail.
    ServerProcess tovis;
    ASSERT_TRUE(startTovis(dir.path(), tovis));
    ASSERT_TRUE(waitServerUp(port, 5000));
    CTestClient rx;
    ASSERT_TRUE(rx.connect(port));
    ASSERT_EQ(rx.login("rx"), LOGIN_ACCEPTED);
    std::set<std::string> received;
    Frame f;
    while (rx.readFrame(f, 2000)) received.insert(f.body.substr(32));
    for (const std::string& text : accepted) EXPECT_EQ(received.count(text), 1u) << text;
    ::kill(tovis.pid, SIGTERM);
    EXPECT_EQ(waitTovis(tovis, 5000), 0);
}

}  // namespace
}  // namespace tovi::test
