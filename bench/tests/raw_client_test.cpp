#include "bench/raw_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/bench_thread.h"
#include "bench/server_process.h"
#include "platform/file.h"
#include "platform/tcp_socket.h"
#include "protocol/packets.h"

namespace tovi {
namespace {

// A scripted peer on 127.0.0.1: accepts one connection and runs the script on it, on a thread
// of its own. Every wait is bounded.
class ScriptedPeer {
  public:
    explicit ScriptedPeer(std::function<void(CTcpSocket&)> script) : m_script(std::move(script)) {
        EXPECT_TRUE(m_listener.listen("127.0.0.1", 0, 1));
        m_thread = std::make_unique<CBenchThread>([this] {
            if (m_listener.waitReadable(10000) != 1 || !m_listener.accept(m_peer)) return;
            m_script(m_peer);
        });
        m_thread->run();
    }
    ~ScriptedPeer() {
        m_thread->join();
        m_peer.close();
    }
    int port() const { return m_listener.localPort(); }

  private:
    std::function<void(CTcpSocket&)> m_script;
    CTcpSocket m_listener;
    CTcpSocket m_peer;
    std::unique_ptr<CBenchThread> m_thread;
};

// Reads exactly n bytes within 10 s.
bool readExactly(CTcpSocket& s, char* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        if (s.waitReadable(10000) != 1) return false;
        long r = s.readSome(out + got, n - got);
        if (r <= 0 && r != CTcpSocket::READ_WOULD_BLOCK) return false;
        if (r > 0) got += static_cast<size_t>(r);
    }
    return true;
}

void sendResult(CTcpSocket& s, int32_t type, int32_t failed, int32_t reason) {
    char packet[16];
    putFrameHeader(packet, type, 8);
    buildResult(packet + 8, failed, reason);
    s.writeAll(packet, sizeof packet, 5000);
}

TEST(RawClient, RegistersAfterTheUnknownNameOnTheSameConnection) {
    std::string seenLogin, seenRegister;
    ScriptedPeer peer([&](CTcpSocket& s) {
        char login[8 + 20];
        if (!readExactly(s, login, sizeof login)) return;
        seenLogin.assign(login, sizeof login);
        sendResult(s, PKT_LOGIN_RESULT, 1, LOGIN_UNKNOWN_NAME);
        char reg[8 + 40];
        if (!readExactly(s, reg, sizeof reg)) return;
        seenRegister.assign(reg, sizeof reg);
        sendResult(s, PKT_REGISTER_RESULT, 0, 0);
    });
    CRawClient client;
    ASSERT_TRUE(client.connect(peer.port()));
    std::string error;
    EXPECT_TRUE(client.registerNew("user007", "bench", error)) << error;
    ASSERT_EQ(seenLogin.size(), 28u);
    EXPECT_EQ(getInt32(seenLogin.data()), PKT_LOGIN);
    EXPECT_EQ(getInt32(seenLogin.data() + 4), 20);
    EXPECT_EQ(seenLogin.substr(8), std::string("user007") + std::string(13, '\0'));
    ASSERT_EQ(seenRegister.size(), 48u);
    EXPECT_EQ(getInt32(seenRegister.data()), PKT_REGISTER);
    EXPECT_EQ(getInt32(seenRegister.data() + 4), 40);
    EXPECT_EQ(seenRegister.substr(28, 5), "bench");
}

TEST(RawClient, RegistrationFailsWhenTheNewNameIsAcceptedOrRefused) {
    {
        ScriptedPeer peer([](CTcpSocket& s) {
            char login[28];
            if (readExactly(s, login, sizeof login)) sendResult(s, PKT_LOGIN_RESULT, 0, 0);
        });
        CRawClient client;
        ASSERT_TRUE(client.connect(peer.port()));
        std::string error;
        EXPECT_FALSE(client.registerNew("taken", "g", error));
        EXPECT_NE(error.find("expected 48,1,2"), std::string::npos) << error;
    }
    {
        ScriptedPeer peer([](CTcpSocket& s) {
            char buf[48];
            if (!readExactly(s, buf, 28)) return;
            sendResult(s, PKT_LOGIN_RESULT, 1, LOGIN_UNKNOWN_NAME);
            if (readExactly(s, buf, 48)) sendResult(s, PKT_REGISTER_RESULT, 1, REGISTER_TABLE_FULL);
        });
        CRawClient client;
        ASSERT_TRUE(client.connect(peer.port()));
        std::string error;
        EXPECT_FALSE(client.registerNew("late", "g", error));
        EXPECT_NE(error.find("(54,1,2)"), std::string::npos) << error;
    }
}

TEST(RawClient, ReadsPacketsSplitAnyWayAndRefusesAnOversizedLength) {
    ScriptedPeer peer([](CTcpSocket& s) {
        char packet[8 + 5];
        putFrameHeader(packet, PKT_MAIL, 5);
        std::memcpy(packet + 8, "abcde", 5);
        // Byte by byte: the reader must put the pieces together.
        for (char c : packet) s.writeAll(&c, 1, 5000);
        char empty[8];
        putFrameHeader(empty, PKT_USERLIST, 0);
        s.writeAll(empty, 8, 5000);
        char huge[8];
        putFrameHeader(huge, PKT_MAIL, 20001);
        s.writeAll(huge, 8, 5000);
    });
    CRawClient client;
    ASSERT_TRUE(client.connect(peer.port()));
    int32_t type = 0;
    const char* body = nullptr;
    uint32_t length = 0;
    ASSERT_TRUE(client.readPacket(type, body, length, 10));
    EXPECT_EQ(type, PKT_MAIL);
    EXPECT_EQ(std::string(body, length), "abcde");
    ASSERT_TRUE(client.readPacket(type, body, length, 10));
    EXPECT_EQ(type, PKT_USERLIST);
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(client.readPacket(type, body, length, 10));
}

TEST(ServerProcess, ReportsAMissingBinaryAndOneThatEndsAtOnce) {
    CServerProcess missing;
    std::string error;
    EXPECT_FALSE(missing.start("/nonexistent/tovis", error));
    EXPECT_NE(error.find("no server binary"), std::string::npos) << error;
    std::string ini;
    ASSERT_TRUE(readWholeFile(missing.directory() + "/Tovis.ini", ini));
    EXPECT_NE(ini.find("PORT=" + std::to_string(missing.port())), std::string::npos) << ini;

    CServerProcess ends;
    EXPECT_FALSE(ends.start("/bin/false", error));
    EXPECT_NE(error.find("ended during start-up"), std::string::npos) << error;
    EXPECT_FALSE(ends.isRunning());
}

// Against the real server, when it has been built: the helpers the benchmarks rely on (start,
// registration, a relayed mail, the /proc figures, the orderly stop).
TEST(ServerProcess, RunsTheRealServerAndStopsItInOrder) {
    const char* binDir = std::getenv("TOVI_BIN_DIR");
    const std::string binary = std::string(binDir != nullptr ? binDir : "build/bin") + "/tovis";
    if (!fileExists(binary)) GTEST_SKIP() << "no server binary at " << binary;
    CServerProcess server;
    std::string error;
    ASSERT_TRUE(server.start(binary, error)) << error;
    std::vector<std::unique_ptr<CRawClient>> users;
    ASSERT_TRUE(connectNewUsers(server.port(), 2, "t", "g", users, error)) << error;
    char body[MAX_MAIL_BODY];
    size_t n = buildMail(body, SEND_TO_USER, "t001", "", MAIL_MESSAGE, "t000", 2, "hi", 2);
    ASSERT_TRUE(users[0]->sendPacket(PKT_MAIL, body, n));
    int32_t type = 0, failed = -1, reason = -1;
    const char* delivery = nullptr;
    uint32_t length = 0;
    ASSERT_TRUE(users[1]->readPacket(type, delivery, length, 10));
    EXPECT_EQ(type, PKT_MAIL);
    EXPECT_EQ(length, 32u + 2);
    ASSERT_TRUE(users[0]->readResult(PKT_MAIL_RESULT, failed, reason, 10));
    EXPECT_EQ(failed, 0);
    long long ticks = -1, peak = 0;
    EXPECT_TRUE(processCpuTicks(server.pid(), ticks));
    EXPECT_TRUE(processPeakRssKb(server.pid(), peak));
    EXPECT_GT(peak, 0);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_LT(server.stopMs(), 6000);
    EXPECT_FALSE(server.isRunning());
}

}  // namespace
}  // namespace tovi
