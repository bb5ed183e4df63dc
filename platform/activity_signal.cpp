#include "platform/activity_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/clock.h"

namespace tovi {

CActivitySignal::CActivitySignal() { m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

CActivitySignal::~CActivitySignal() {
    if (m_fd >= 0) ::close(m_fd);
}

void CActivitySignal::raise() {
    if (m_fd < 0) return;
    uint64_t one = 1;
    // A full counter (never reached in practice) still leaves the descriptor readable.
    ssize_t r = ::write(m_fd, &one, sizeof one);
    (void)r;
}

void CActivitySignal::drain() {
    if (m_fd < 0) return;
    uint64_t value = 0;
    ssize_t r = ::read(m_fd, &value, sizeof value);
    (void)r;
}

int waitForActivity(const int* fds, int count, int timeoutMs) {
    constexpr int MAX = 31;
    pollfd p[MAX];
    int index[MAX];
    int used = 0;
    for (int i = 0; i < count && i < MAX; ++i) {
        if (fds[i] < 0) continue;
        p[used] = pollfd{fds[i], POLLIN, 0};
        index[used] = i;
        ++used;
    }
    const int64_t deadline = timeoutMs < 0 ? -1 : monotonicMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - monotonicMs();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        int r = ::poll(p, static_cast<nfds_t>(used), wait);
        if (r == 0) return 0;
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        int mask = 0;
        for (int k = 0; k < used; ++k)
            if (p[k].revents != 0) mask |= 1 << index[k];
        return mask;
    }
}

}  // namespace tovi
