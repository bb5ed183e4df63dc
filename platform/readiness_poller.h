// CReadinessPoller: waits for readability of many descriptors at once (sockets, a listener, a
// worker thread's wake descriptor), so that a single thread can serve many connections without
// spinning. Level-triggered: a descriptor that is still readable is reported again by the next
// wait. Each descriptor carries a caller's token (an int) that the wait hands back.
//
// Used by one thread (the one that owns the descriptors).
#pragma once

#include <cstddef>

namespace tovi {

class CReadinessPoller {
  public:
    static constexpr int MAX_EVENTS = 256;

    CReadinessPoller();
    ~CReadinessPoller();
    CReadinessPoller(const CReadinessPoller&) = delete;
    CReadinessPoller& operator=(const CReadinessPoller&) = delete;

    bool isValid() const { return m_fd >= 0; }

    // Watches fd for readability (wantRead) or keeps it registered but silent (!wantRead), with
    // the token. Adding a descriptor that is already watched changes its token and interest.
    bool watch(int fd, int token, bool wantRead);
    // Stops watching fd; closing a descriptor also ends its watch.
    void forget(int fd);

    // Waits at most timeoutMs (-1: no limit, 0: just look) and fills tokens with the tokens of
    // readable descriptors (at most max). Returns their number, 0 on time-out, -1 on failure.
    int wait(int* tokens, int max, int timeoutMs);

    // As watch(), for readability and, with wantWrite, for room to write as well (a descriptor
    // with room is reported with its token like a readable one).
    bool watchReadWrite(int fd, int token, bool wantRead, bool wantWrite);

  private:
    int m_fd = -1;
};

}  // namespace tovi
