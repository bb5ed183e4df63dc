// The packet mailbox: slot bounds, occupied slots, separate status pairs, revoked views and the
// change signal (whole packets under two threads: the receive worker's burst case).
#include "client/connection/packet_mailbox.h"

#include <gtest/gtest.h>

#include "client_test_support.h"

namespace tovi::test {
namespace {

TEST(PacketMailbox, SlotTakesAtMost19996BytesOnlyWhenEmptyStatusPairsAreSeparateRevokedViewsInert) {
    TempClientStack v(0);  // its storage and the main window's two views
    std::string big(MAILBOX_SLOT_BYTES + 1, 'q');
    EXPECT_FALSE(v.put(0, big));
    big.pop_back();
    big.back() = 'E';
    EXPECT_TRUE(v.put(0, big));
    EXPECT_EQ(v.slot(0), big);  // peeking leaves it
    EXPECT_EQ(v.sendView.putSlot(3, "xyz", 0), 0u);
    EXPECT_EQ(v.receiveView.peekSlot(nullptr, 1), 0u);  // the other slot is separate
    EXPECT_EQ(v.sendView.putSlot(1, "a", 2), 0u);
    // Status pairs are separate; a new worker's view starts its pair afresh.
    EXPECT_TRUE(v.sendView.setStatus(ST_TIMEOUT));
    CPacketMailbox again;
    again.bind(&v.storage.lock, &v.storage.mailSlots, &v.storage.sendStatus);
    EXPECT_EQ(v.sendView.getStatus(), 0);
    EXPECT_TRUE(v.sendView.setStatus(ST_CONNECTED) && v.sendView.setDeadline(1234));
    EXPECT_EQ(v.receiveView.getStatus() + v.receiveView.getDeadline(), 0);
    // A revoked view touches nothing and stays revoked, even when its worker binds it later.
    v.sendView.revoke();
    EXPECT_FALSE(v.sendView.setStatus(ST_RECV_FAILED));
    v.sendView.clearSlots();
    EXPECT_EQ(v.receiveView.peekSlot(nullptr, 0), big.size());
    v.sendView.bind(&v.storage.lock, &v.storage.mailSlots, &v.storage.sendStatus);
    EXPECT_FALSE(v.sendView.isBound());
    EXPECT_EQ(v.storage.sendStatus.status, ST_CONNECTED);
}

TEST(PacketMailbox, WatchersAreWokenByEveryChangeUntilRevoked) {
    TempClientStack v(0);  // its storage and the main window's two views
    CActivitySignal signal;
    ASSERT_TRUE(v.receiveView.watch(&signal));
    const int fd = signal.fd();
    for (unsigned length : {2u, 0u}) {
        EXPECT_EQ(waitForActivity(&fd, 1, 0), 0);
        v.sendView.putSlot(length, "ab", 0);
        EXPECT_EQ(waitForActivity(&fd, 1, 1000), 1) << length;
        signal.drain();
    }
    v.receiveView.revoke();
    v.sendView.putSlot(2, "ab", 0);
    EXPECT_EQ(waitForActivity(&fd, 1, 0), 0);
}

}  // namespace
}  // namespace tovi::test
