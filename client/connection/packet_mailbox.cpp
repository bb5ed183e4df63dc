#include "client/connection/packet_mailbox.h"

#include <cstring>

namespace tovi {

void CPacketMailbox::bind(std::mutex* lock, MailboxSlots* mailSlots, StatusPair* status) {
    if (lock == nullptr) return;
    // The lock is published before the revocation flag is looked at, and revoke() sets the flag
    // before it looks for the lock: one of the two always sees the other, so a revocation either
    // makes this bind do nothing or waits for it to finish.
    m_lock.store(lock);
    std::lock_guard<std::mutex> guard(*lock);
    if (m_revoked.load()) return;
    m_slots = mailSlots;
    m_status = status;
    if (m_status != nullptr) m_status->status = 0;
    m_bound.store(mailSlots != nullptr && status != nullptr);
}

void CPacketMailbox::revoke() {
    m_revoked.store(true);
    std::mutex* lock = m_lock.load();
    if (lock == nullptr) return;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_slots != nullptr && m_watched != nullptr) {
        for (CActivitySignal*& w : m_slots->watchers)
            if (w == m_watched) w = nullptr;
    }
    m_watched = nullptr;
    m_slots = nullptr;
    m_status = nullptr;
    m_bound.store(false);
}

bool CPacketMailbox::setStatus(int code) {
    std::mutex* lock = m_lock.load();
    if (lock == nullptr) return false;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_revoked.load() || m_status == nullptr) return false;
    m_status->status = code;
    return true;
}

int CPacketMailbox::getStatus() const {
    std::mutex* lock = m_lock.load();
    if (lock == nullptr) return -1;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_revoked.load() || m_status == nullptr) return -1;
    return m_status->status;
}

bool CPacketMailbox::setDeadline(int time) {
    std::mutex* lock = m_lock.load();
    if (lock == nullptr) return false;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_revoked.load() || m_status == nullptr) return false;
    m_status->readDeadline = time;
    return true;
}

int CPacketMailbox::getDeadline() const {
    std::mutex* lock = m_lock.load();
    if (lock == nullptr) return 0;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_revoked.load() || m_status == nullptr) return 0;
    return m_status->readDeadline;
}

unsigned CPacketMailbox::peekSlot(void* dest, int index) const {
    if (index != 0 && index != 1) return 0;
    std::mutex* lock = m_lock.load();
    if (lock == nullptr) return 0;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_revoked.load() || m_slots == nullptr) return 0;
    const MailboxSlot& slot = m_slots->slot[index];
    unsigned length = static_cast<unsigned>(slot.length);
    if (dest != nullptr && length != 0) std::memcpy(dest, slot.bytes, length);
    return length;
}

unsigned CPacketMailbox::putSlot(unsigned length, const void* source, int index) {
    if (index != 0 && index != 1) return 0;
    if (length > MAILBOX_SLOT_BYTES) return 0;
    if (length != 0 && source == nullptr) return 0;
    std::mutex* lock = m_lock.load();
    if (lock == nullptr) return 0;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_revoked.load() || m_slots == nullptr) return 0;
    MailboxSlot& slot = m_slots->slot[index];
    if (slot.length != 0 && length != 0) return 0;
    if (length != 0) std::memcpy(slot.bytes, source, length);
    const bool changed = slot.length != static_cast<int32_t>(length);
    slot.length = static_cast<int32_t>(length);
    if (changed) notifyLocked();
    return length;
}

void CPacketMailbox::clearSlots() {
    std::mutex* lock = m_lock.load();
    if (lock == nullptr) return;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_revoked.load() || m_slots == nullptr) return;
    m_slots->slot[0].length = 0;
    m_slots->slot[1].length = 0;
    notifyLocked();
}

bool CPacketMailbox::watch(CActivitySignal* signal) {
    std::mutex* lock = m_lock.load();
    if (lock == nullptr || signal == nullptr) return false;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_revoked.load() || m_slots == nullptr) return false;
    if (m_watched != nullptr) return m_watched == signal;
    for (CActivitySignal*& w : m_slots->watchers) {
        if (w == nullptr) {
            w = signal;
            m_watched = signal;
            return true;
        }
    }
    return false;
}

void CPacketMailbox::unwatch(CActivitySignal* signal) {
    std::mutex* lock = m_lock.load();
    if (lock == nullptr || signal == nullptr) return;
    std::lock_guard<std::mutex> guard(*lock);
    if (m_slots == nullptr || m_watched != signal) return;
    for (CActivitySignal*& w : m_slots->watchers)
        if (w == signal) w = nullptr;
    m_watched = nullptr;
}

// Raising a signal is one non-blocking eventfd write: no I/O worth keeping the lock from.
void CPacketMailbox::notifyLocked() {
    for (CActivitySignal* w : m_slots->watchers)
        if (w != nullptr) w->raise();
}

}  // namespace tovi
