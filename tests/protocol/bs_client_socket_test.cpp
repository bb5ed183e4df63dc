// The client's transport against a raw peer over 127.0.0.1.
#include "protocol/bs_client_socket.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/clock.h"

namespace tovi {
namespace {

// The object under test connected to a raw peer on a free port.
struct ClientPair {
    CTcpSocket listener, peer;
    CBsClientSocket client;
    ClientPair() {
        EXPECT_TRUE(listener.listen("127.0.0.1", 0, 5));
        EXPECT_EQ(client.Connect("127.0.0.1", listener.localPort()), 1);
        for (int i = 0; i < 2000 && !listener.accept(peer); ++i) sleepMs(1);
        EXPECT_TRUE(peer.isOpen());
    }
    void send(const std::string& bytes) {
        ASSERT_TRUE(peer.writeAll(bytes.data(), bytes.size(), 1000));
    }
    std::string receive(size_t count) {
        std::string got(count, '\0');
        for (size_t n = 0; n < count;) {
            long r = peer.waitReadable(5000) > 0 ? peer.readSome(&got[n], count - n) : -1;
            if (r <= 0) return got.substr(0, n);
            n += static_cast<size_t>(r);
        }
        return got;
    }
};

TEST(BsClientSocket, BytesReadAheadAreServedAfterThePeerLeftThenTheEndComesAtOnce) {
    ClientPair p;
    p.send("ABCDefghIJKL");
    unsigned count = 4;
    char* got = p.client.Read(count, 5);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got, count), "ABCD");
    EXPECT_EQ(p.client.bufferedBytes(), 8u);
    EXPECT_LE(p.client.socketBytesAvailable(), 0);
    EXPECT_EQ(p.client.HasPending(), 1);  // from the reader alone
    p.peer.close();
    sleepMs(50);
    count = 8;
    got = p.client.Read(count, 5);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got, count), "efghIJKL");
    // The end of the stream gives null (a deadline would give a short count instead).
    count = 1;
    EXPECT_EQ(p.client.Read(count, 5), nullptr);
    EXPECT_EQ(p.client.isConnected(), 0);
}

TEST(BsClientSocket, DeadlineGivesAShortCountWithANulAfterTheRequestedBytes) {
    ClientPair p;
    p.send("abc");
    unsigned count = 10;
    int64_t start = monotonicMs();
    char* got = p.client.Read(count, 1);
    EXPECT_GE(monotonicMs() - start, 900);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(got, 3), "abc");
    for (int i = 3; i <= 10; ++i) EXPECT_EQ(got[i], '\0') << i;
    EXPECT_EQ(p.client.HasPending(), 0);
    EXPECT_EQ(p.client.isConnected(), 1);
}

TEST(BsClientSocket, QueuedPiecesLeaveInOrderAtTheFlushWhateverTheirSize) {
    ClientPair p;
    const std::string big(3 * CBsClientSocket::STREAM_BUFFER_SIZE, 'b');
    ASSERT_EQ(p.client.Queue("head", 4), 1);
    ASSERT_EQ(p.client.Queue(big.data(), static_cast<unsigned>(big.size())), 1);
    ASSERT_EQ(p.client.Queue("tail", 4), 1);
    EXPECT_EQ(p.receive(4 + big.size()), "head" + big);
    EXPECT_EQ(p.peer.waitReadable(100), 0);  // the tail waits for the next write
    ASSERT_EQ(p.client.Write("!", 1), 1);
    EXPECT_EQ(p.receive(5), "tail!");
}

TEST(BsClientSocket, WritesWithoutAConnectionSendNothingAndAFailedWriteCloses) {
    CBsClientSocket never;
    EXPECT_EQ(never.Write("x", 1), 0);
    EXPECT_EQ(never.HasPending(), 0);
    unsigned count = 1;
    EXPECT_EQ(never.Read(count, 1), nullptr);

    ClientPair closed;
    closed.client.Close();
    closed.client.Close();
    EXPECT_EQ(closed.client.Write("abc", 3), 0);
    EXPECT_EQ(closed.receive(1), "");  // the peer sees the orderly close and no bytes

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
}

TEST(BsClientSocket, InterruptFromAnotherThreadEndsABlockedRead) {
    ClientPair p;
    std::thread stopper([&] {
        sleepMs(200);
        p.client.Interrupt();
    });
    unsigned count = 4;
    // Null, not the short count the 30 s deadline would give.
    EXPECT_EQ(p.client.Read(count, 30), nullptr);
    stopper.join();
}

}  // namespace
}  // namespace tovi
