// The transport against a raw peer over 127.0.0.1.
#include "protocol/bs_client_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/clock.h"

namespace tovi {
namespace {

// A listener on a free port; accept() hands out the peer side of each connection.
class Loopback {
public:
    Loopback() { EXPECT_TRUE(m_listener.listen("127.0.0.1", 0, 5)); }
    int port() const { return m_listener.localPort(); }
    bool accept(CTcpSocket& out) {
        for (int i = 0; i < 2000; ++i) {
            if (m_listener.accept(out)) return true;
            sleepMs(1);
        }
        return false;
    }

private:
    CTcpSocket m_listener;
};

// A connected pair: the client object under test and the raw peer.
struct ClientPair {
    Loopback loop;
    CBsClientSocket client{SocketRole::CLIENT};
    CTcpSocket peer;
    ClientPair() {
        EXPECT_EQ(client.Connect("127.0.0.1", loop.port()), 1);
        EXPECT_TRUE(loop.accept(peer));
    }
    void send(const std::string& bytes) { ASSERT_TRUE(peer.writeAll(bytes.data(), bytes.size(), 1000)); }
};

// A connected pair with the object under test on the server side.
struct ServerPair {
    Loopback loop;
    CTcpSocket raw;
    CBsClientSocket server{SocketRole::SERVER};
    ServerPair() {
        EXPECT_TRUE(raw.connect("127.0.0.1", static_cast<uint16_t>(loop.port())));
        CTcpSocket accepted;
        EXPECT_TRUE(loop.accept(accepted));
        EXPECT_EQ(server.Attach(std::move(accepted)), 1);
    }
};

TEST(BsClientSocket, ReadIsServedFromBytesAlreadyBufferedEvenAfterThePeerLeft) {
    ClientPair p;
    p.send("ABCDefghIJKL");
    sleepMs(50);
    p.peer.close();
    unsigned count = 4;
    char* got = p.client.Read(count, 5);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(got, 4), "ABCD");
    EXPECT_EQ(p.client.HasPending(), 1);
    EXPECT_EQ(p.client.bufferedBytes(), 8u);
    count = 8;
    got = p.client.Read(count, 5);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got, 8), "efghIJKL");
    // Only now is the end of the stream seen, and at once, not at the deadline.
    int64_t start = monotonicMs();
    count = 1;
    EXPECT_EQ(p.client.Read(count, 5), nullptr);
    EXPECT_LT(monotonicMs() - start, 1000);
    EXPECT_EQ(p.client.isConnected(), 0);
}

TEST(BsClientSocket, HasPendingCountsTheReadersBufferWhenTheSocketHasNothing) {
    ClientPair p;
    p.send(std::string(10, 'x'));
    unsigned count = 2;
    ASSERT_NE(p.client.Read(count, 5), nullptr);
    EXPECT_EQ(p.client.isPending(), 1);
    EXPECT_LE(p.client.socketBytesAvailable(), 0);
    EXPECT_EQ(p.client.HasPending(), 1);
    count = 8;
    ASSERT_NE(p.client.Read(count, 5), nullptr);
    EXPECT_EQ(p.client.isPending(), 0);
    EXPECT_EQ(p.client.HasPending(), 0);
}

TEST(BsClientSocket, DeadlineGivesAShortCountWithANulAfterTheRequestedBytes) {
    ClientPair p;
    p.send("abc");
    unsigned count = 10;
    int64_t start = monotonicMs();
    char* got = p.client.Read(count, 1);
    int64_t took = monotonicMs() - start;
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(got, 3), "abc");
    for (int i = 3; i <= 10; ++i) EXPECT_EQ(got[i], '\0') << i;
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(p.client.isConnected(), 1);
}

TEST(BsClientSocket, WriteWithoutAConnectionSendsNothing) {
    CBsClientSocket never;
    EXPECT_EQ(never.Write("x", 1), 0);
    EXPECT_EQ(never.HasPending(), 0);
    unsigned count = 1;
    EXPECT_EQ(never.Read(count, 1), nullptr);

    ClientPair p;
    p.client.Close();
    EXPECT_EQ(p.client.Write("abc", 3), 0);
    char buf[8];
    sleepMs(50);
    // The peer sees the orderly close and no bytes.
    EXPECT_EQ(p.peer.waitReadable(1000), 1);
    EXPECT_EQ(p.peer.readSome(buf, sizeof buf), CTcpSocket::READ_END_OF_STREAM);
}

TEST(BsClientSocket, AFailedWriteLeavesTheObjectClosedAndCloseCanBeRepeated) {
    ClientPair p;
    p.peer.close();
    std::string block(65536, 'z');
    int result = 1;
    for (int i = 0; i < 200 && result == 1; ++i) {
        result = p.client.Write(block.data(), static_cast<unsigned>(block.size()));
        sleepMs(5);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(p.client.isConnected(), 0);
    EXPECT_EQ(p.client.Write("a", 1), 0);

    // The server's copy marks every Close for the connection table, also a second one.
    ServerPair s;
    s.server.Close();
    EXPECT_EQ(s.server.isClosed(), 1);
    s.server.clearClosed();
    s.server.Close();
    EXPECT_EQ(s.server.isClosed(), 1);
    EXPECT_EQ(s.server.isAttached(), 0);
}

TEST(BsClientSocket, ServerReadOfASilentConnectionGivesUpAtItsTimeOut) {
    ServerPair p;
    unsigned count = 4;
    int64_t start = monotonicMs();
    EXPECT_EQ(p.server.Read(count, 2), nullptr);
    int64_t took = monotonicMs() - start;
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 4000);
    // With -1 the server's Read does not wait at all.
    start = monotonicMs();
    EXPECT_EQ(p.server.Read(count, -1), nullptr);
    EXPECT_LT(monotonicMs() - start, 200);
    EXPECT_EQ(p.server.isConnected(), 1);
}

TEST(BsClientSocket, InterruptFromAnotherThreadEndsABlockedRead) {
    ClientPair p;
    std::thread stopper([&] {
        sleepMs(200);
        p.client.Interrupt();
    });
    unsigned count = 4;
    int64_t start = monotonicMs();
    EXPECT_EQ(p.client.Read(count, -1), nullptr);
    EXPECT_LT(monotonicMs() - start, 3000);
    stopper.join();
}

}  // namespace
}  // namespace tovi
