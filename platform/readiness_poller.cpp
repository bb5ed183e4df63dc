#include "platform/readiness_poller.h"

#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace tovi {

CReadinessPoller::CReadinessPoller() { m_fd = ::epoll_create1(EPOLL_CLOEXEC); }

CReadinessPoller::~CReadinessPoller() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CReadinessPoller::watch(int fd, int token, bool wantRead) {
    if (m_fd < 0 || fd < 0) return false;
    epoll_event ev{};
    ev.events = wantRead ? static_cast<uint32_t>(EPOLLIN) : 0u;
    ev.data.u64 = 0;
    ev.data.u32 = static_cast<uint32_t>(token);
    if (::epoll_ctl(m_fd, EPOLL_CTL_MOD, fd, &ev) == 0) return true;
    if (errno != ENOENT) return false;
    return ::epoll_ctl(m_fd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void CReadinessPoller::forget(int fd) {
    if (m_fd < 0 || fd < 0) return;
    epoll_event ev{};
    ::epoll_ctl(m_fd, EPOLL_CTL_DEL, fd, &ev);
}

int CReadinessPoller::wait(int* tokens, int max, int timeoutMs) {
    if (m_fd < 0) return -1;
    epoll_event events[MAX_EVENTS];
    if (max > MAX_EVENTS) max = MAX_EVENTS;
    int n;
    do {
        n = ::epoll_wait(m_fd, events, max, timeoutMs);
    } while (n < 0 && errno == EINTR && timeoutMs < 0);
    if (n < 0) return errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; ++i) tokens[i] = static_cast<int>(events[i].data.u32);
    return n;
}

bool CReadinessPoller::watchReadWrite(int fd, int token, bool wantRead, bool wantWrite) {
    if (m_fd < 0 || fd < 0) return false;
    epoll_event ev{};
    ev.events = (wantRead ? static_cast<uint32_t>(EPOLLIN) : 0u) |
                (wantWrite ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    ev.data.u64 = 0;
    ev.data.u32 = static_cast<uint32_t>(token);
    if (::epoll_ctl(m_fd, EPOLL_CTL_MOD, fd, &ev) == 0) return true;
    if (errno != ENOENT) return false;
    return ::epoll_ctl(m_fd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

}  // namespace tovi
