// The storage behind the packet mailbox: the one lock, the two single-packet slots and one status
// pair per worker. The main window creates one CMailboxStorage with static duration before either
// worker starts; CPacketMailbox views bind to (lock, slots, status pair) of it.
//
// Everything here is guarded by `lock`; only CPacketMailbox touches it.
//
//   slot    int32 length (0 = empty) | up to 19996 bytes: int32 type | int32 length | body
//   slot 0  inbound: filled by the send worker, emptied by the receive worker or the main window
//   slot 1  outbound: filled by the main window, emptied by the send worker
//   status pair   int32 status (ST_*) | int32 readDeadline (seconds since 1970, 0 = no read)
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/activity_signal.h"

namespace tovi {

constexpr size_t MAILBOX_SLOT_BYTES = 19996;
// The largest body a slot holds: the slot bytes less the 8-byte frame header.
constexpr size_t MAILBOX_MAX_BODY = MAILBOX_SLOT_BYTES - 8;
constexpr int SLOT_INBOUND = 0;
constexpr int SLOT_OUTBOUND = 1;

struct MailboxSlot {
    int32_t length = 0;
    char bytes[MAILBOX_SLOT_BYTES];
};

struct StatusPair {
    int32_t status = 0;
    int32_t readDeadline = 0;
};

// The two slots and the signals to raise whenever a slot changes (a worker that waits for a slot
// to fill or to empty registers its signal through its view).
struct MailboxSlots {
    static constexpr int MAX_WATCHERS = 8;
    MailboxSlot slot[2];
    CActivitySignal* watchers[MAX_WATCHERS] = {};
};

struct CMailboxStorage {
    std::mutex lock;
    MailboxSlots mailSlots;
    StatusPair sendStatus;
    StatusPair receiveStatus;
};

}  // namespace tovi
