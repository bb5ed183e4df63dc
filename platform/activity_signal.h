// CActivitySignal: a wake-up descriptor that any thread raises and one waiting thread drains, so
// that a worker can wait for "something changed" together with its socket and its message queue
// instead of sleeping and looking again. waitForActivity() is that combined wait.
//
// raise() may be called from any thread; drain() and the wait belong to the thread that owns the
// signal. The signal carries no data: after a wake-up the waiter looks at the state it guards.
#pragma once

namespace tovi {

class CActivitySignal {
  public:
    CActivitySignal();
    ~CActivitySignal();
    CActivitySignal(const CActivitySignal&) = delete;
    CActivitySignal& operator=(const CActivitySignal&) = delete;

    // Readable while raised; -1 when the descriptor could not be made (waits then time out only).
    int fd() const { return m_fd; }
    void raise();
    // Clears the raised state. Drain before looking at the guarded state, so that a change made
    // after the look raises it again and the next wait returns at once.
    void drain();

  private:
    int m_fd = -1;
};

// Waits at most timeoutMs (-1: no limit) until one of the count descriptors is readable (or has
// an error or hang-up). Negative descriptors are ignored. Returns a bit mask of the ready ones
// (bit i for fds[i], at most 31), 0 on time-out, -1 on failure.
int waitForActivity(const int* fds, int count, int timeoutMs);

}  // namespace tovi
