// CUnsavedMail: deliveries that arrived but could not be stored yet (mail directory missing or
// full), in arrival order, at most MAX of them. The connection control owns one for the life of
// the window and hands it to every receive worker it starts: kept mail outlives the worker that
// received it (a new mail directory, a reconnection, a rename), and the next worker stores it
// first. At the end of the program what is still kept can be written elsewhere (writeAll).
//
// Any thread: one storer at a time, so that two workers (one ending, one starting) never store
// the same mail twice or out of order; adding never waits for a storer's disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "protocol/packets.h"

namespace tovi {

struct KeptMail {
    int32_t time = 0;  // the server's receive time
    char sender[NAME_BUFFER_SIZE] = {};
    int32_t token = 0;
    std::string text;

    // The mail of a delivery (PKT_MAIL body) and its kind; false for one shorter than its fixed
    // fields.
    static bool fromDelivery(const char* body, size_t length, KeptMail& mail, int32_t& kind);
};

class CUnsavedMail {
  public:
    static constexpr size_t MAX = 200;

    // False (the mail dropped) when limit are kept already.
    bool add(KeptMail mail, size_t limit = MAX);
    // Offers the kept mail to store() oldest first, removing each one stored, until one is not;
    // true when none is left.
    bool storeInOrder(const std::function<bool(const KeptMail&)>& store);
    size_t count() const { return m_count.load(); }

    // Writes every kept mail as a received-mail file of owner into fsDir (made first when create
    // is set and it is missing), flushing the file system once at the end, and forgets those
    // written; returns how many were written.
    size_t writeAll(const std::string& fsDir, const char* owner, bool create = false);

  private:
    std::mutex m_storeLock;
    mutable std::mutex m_lock;
    std::deque<KeptMail> m_mails;
    std::atomic<size_t> m_count{0};
};

}  // namespace tovi
