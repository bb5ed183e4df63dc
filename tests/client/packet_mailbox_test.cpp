// The packet mailbox: slot bounds, occupied slots, unbound and revoked views, the change signal,
// and whole packets under two threads.
#include "client/connection/packet_mailbox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

#include "protocol/packets.h"

namespace tovi {
namespace {

struct Views {
    std::unique_ptr<CMailboxStorage> storage = std::make_unique<CMailboxStorage>();
    CPacketMailbox send, receive;
    Views() {
        send.bind(&storage->lock, &storage->slots, &storage->sendStatus);
        receive.bind(&storage->lock, &storage->slots, &storage->receiveStatus);
    }
};

TEST(PacketMailbox, SlotTakesAtMost19996Bytes) {
    Views v;
    std::string big(MAILBOX_SLOT_BYTES + 1, 'q');
    EXPECT_EQ(v.send.putSlot(MAILBOX_SLOT_BYTES + 1, big.data(), 0), 0u);
    EXPECT_EQ(v.send.peekSlot(nullptr, 0), 0u);
    big[MAILBOX_SLOT_BYTES - 1] = 'E';
    EXPECT_EQ(v.send.putSlot(MAILBOX_SLOT_BYTES, big.data(), 0), MAILBOX_SLOT_BYTES);
    std::string out(MAILBOX_SLOT_BYTES, '\0');
    EXPECT_EQ(v.receive.peekSlot(out.data(), 0), MAILBOX_SLOT_BYTES);
    EXPECT_EQ(out, big.substr(0, MAILBOX_SLOT_BYTES));
}

TEST(PacketMailbox, OccupiedSlotRefusesAStoreAndLengthZeroEmptiesIt) {
    Views v;
    EXPECT_EQ(v.send.putSlot(3, "abc", 1), 3u);
    EXPECT_EQ(v.send.putSlot(3, "xyz", 1), 0u);
    char out[8] = {};
    EXPECT_EQ(v.receive.peekSlot(out, 1), 3u);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(v.receive.peekSlot(out, 1), 3u);      // peeking leaves it
    EXPECT_EQ(v.receive.peekSlot(nullptr, 0), 0u);  // the other slot is separate
    EXPECT_EQ(v.receive.putSlot(0, nullptr, 1), 0u);
    EXPECT_EQ(v.send.peekSlot(nullptr, 1), 0u);
    EXPECT_EQ(v.send.putSlot(3, "xyz", 1), 3u);
    v.send.clearSlots();
    EXPECT_EQ(v.send.peekSlot(nullptr, 1), 0u);
    EXPECT_EQ(v.send.putSlot(1, "a", 2), 0u);
    EXPECT_EQ(v.send.peekSlot(out, -1), 0u);
}

TEST(PacketMailbox, StatusPairsAreSeparateAndBindSetsZero) {
    Views v;
    EXPECT_TRUE(v.send.setStatus(ST_CONNECTING));
    EXPECT_TRUE(v.send.setDeadline(1234));
    EXPECT_EQ(v.receive.getStatus(), 0);
    EXPECT_EQ(v.receive.getDeadline(), 0);
    EXPECT_EQ(v.send.getStatus(), ST_CONNECTING);
    EXPECT_EQ(v.send.getDeadline(), 1234);
    CPacketMailbox again;
    again.bind(&v.storage->lock, &v.storage->slots, &v.storage->sendStatus);
    EXPECT_EQ(v.send.getStatus(), 0);
}

TEST(PacketMailbox, UnboundAndRevokedViewsTouchNothing) {
    Views v;
    CPacketMailbox unbound;
    EXPECT_FALSE(unbound.isBound());
    EXPECT_EQ(unbound.getStatus(), -1);
    EXPECT_FALSE(unbound.setStatus(1));
    EXPECT_EQ(unbound.getDeadline(), 0);
    EXPECT_EQ(unbound.putSlot(1, "a", 0), 0u);

    v.send.setStatus(ST_CONNECTED);
    ASSERT_EQ(v.receive.putSlot(2, "in", 0), 2u);
    v.send.revoke();
    EXPECT_FALSE(v.send.isBound());
    EXPECT_FALSE(v.send.setStatus(ST_RECV_FAILED));
    v.send.clearSlots();
    EXPECT_EQ(v.send.putSlot(0, nullptr, 0), 0u);
    EXPECT_EQ(v.receive.peekSlot(nullptr, 0), 2u);
    // A revoked view stays revoked, even when its worker binds it later.
    v.send.bind(&v.storage->lock, &v.storage->slots, &v.storage->sendStatus);
    EXPECT_FALSE(v.send.isBound());
    EXPECT_EQ(v.storage->sendStatus.status, ST_CONNECTED);
}

TEST(PacketMailbox, WatchersAreWokenByEveryChangeUntilRevoked) {
    Views v;
    CActivitySignal signal;
    ASSERT_TRUE(v.receive.watch(&signal));
    const int fd = signal.fd();
    EXPECT_EQ(waitForActivity(&fd, 1, 0), 0);
    v.send.putSlot(2, "ab", 0);
    EXPECT_EQ(waitForActivity(&fd, 1, 1000), 1);
    signal.drain();
    EXPECT_EQ(waitForActivity(&fd, 1, 0), 0);
    v.send.putSlot(0, nullptr, 0);
    EXPECT_EQ(waitForActivity(&fd, 1, 1000), 1);
    signal.drain();
    v.receive.revoke();
    v.send.putSlot(2, "ab", 0);
    EXPECT_EQ(waitForActivity(&fd, 1, 0), 0);
}

// One producer and one consumer move numbered packets through slot 0; none is torn or lost.
TEST(PacketMailbox, PacketsPassWholeBetweenThreads) {
    Views v;
    constexpr int COUNT = 2000;
    std::thread producer([&] {
        char packet[4000];
        for (int i = 0; i < COUNT; ++i) {
            unsigned n = 8 + static_cast<unsigned>(i % 3000);
            std::memset(packet, static_cast<char>(i), n);
            putInt32(packet, i);
            while (v.send.putSlot(n, packet, 0) == 0) std::this_thread::yield();
        }
    });
    char out[MAILBOX_SLOT_BYTES];
    int next = 0;
    bool whole = true;
    for (int spins = 0; next < COUNT && spins < 50000000; ++spins) {
        unsigned n = v.receive.peekSlot(out, 0);
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        if (getInt32(out) != next || n != 8 + static_cast<unsigned>(next % 3000) ||
            out[n - 1] != static_cast<char>(next))
            whole = false;
        v.receive.putSlot(0, nullptr, 0);
        ++next;
    }
    producer.join();
    EXPECT_TRUE(whole);
    EXPECT_EQ(next, COUNT);
}

}  // namespace
}  // namespace tovi
