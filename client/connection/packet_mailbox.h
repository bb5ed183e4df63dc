// CPacketMailbox: one party's view of the packet mailbox, the only state the client's threads
// share. A view binds to the one lock, the two slots and one status pair (CMailboxStorage); the
// send worker's and the receive worker's views share lock and slots and differ in the pair; the
// main window holds a view on each pair.
//
// Every operation takes the lock for its own copy only, never during network or file I/O.
// bind runs on the thread that owns the view; every other operation may run on any thread.
//
// A view can be revoked (the main window's forced end of a worker): from then on it acts as an
// unbound view, so nothing its worker still does can touch the slots or the status pair.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "client/connection/mailbox_storage.h"

namespace tovi {

class CPacketMailbox {
  public:
    CPacketMailbox() = default;
    CPacketMailbox(const CPacketMailbox&) = delete;
    CPacketMailbox& operator=(const CPacketMailbox&) = delete;

    // Stores the references and sets the pair's status to 0 (under the lock, so that a
    // revocation is never overtaken). A revoked view stays unbound.
    void bind(std::mutex* lock, MailboxSlots* mailSlots, StatusPair* status);
    bool isBound() const { return m_bound.load(); }

    // False (or -1 / 0 for the getters) when no status pair is bound.
    bool setStatus(int code);
    int getStatus() const;
    bool setDeadline(int time);
    int getDeadline() const;

    // The slot's length; copies that many bytes into dest when dest is given and the slot is
    // occupied, leaving the slot as it is. 0 for an index other than 0 and 1, or when unbound.
    unsigned peekSlot(void* dest, int index) const;
    // Stores length bytes into an empty slot and returns length; fails (0) for a bad index, an
    // unbound view, a length above 19996, or a non-zero length into an occupied slot (nothing
    // is stored). A length of 0 empties the slot.
    unsigned putSlot(unsigned length, const void* source, int index);
    void clearSlots();

    // Registers one signal per view, raised at every change of either slot (at most
    // MailboxSlots::MAX_WATCHERS views at once); false when unbound, full, or another signal is
    // registered. The signal must outlive the registration: unwatch (or revoke) before it goes.
    bool watch(CActivitySignal* signal);
    void unwatch(CActivitySignal* signal);

    // Makes the view unbound for good, waiting for an operation in progress on another thread to
    // finish first. Any thread.
    void revoke();
    bool isRevoked() const { return m_revoked.load(); }

  private:
    void notifyLocked();

    std::atomic<std::mutex*> m_lock{nullptr};
    std::atomic<bool> m_bound{false};
    std::atomic<bool> m_revoked{false};
    // Written under *m_lock, read under it.
    MailboxSlots* m_slots = nullptr;
    StatusPair* m_status = nullptr;
    CActivitySignal* m_watched = nullptr;
};

}  // namespace tovi
