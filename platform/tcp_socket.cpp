#include "platform/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace tovi {

namespace {

bool setNonBlocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags) == 0;
}

// Waits for events on fd for at most timeoutMs (-1: no limit), retrying after signals with the
// time that is left. Returns the revents, 0 on time-out, -1 on failure.
int pollFor(int fd, short events, int timeoutMs) {
    int64_t deadline = timeoutMs < 0 ? -1 : monotonicMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            int64_t left = deadline - monotonicMs();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, wait);
        if (r > 0) return p.revents;
        if (r == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

std::atomic<int> g_lookupDelayMs{0};

// True when fd (if any) is readable now: the owner's cancellation has been raised.
bool cancelRaised(int cancelFd) {
    if (cancelFd < 0) return false;
    pollfd p{cancelFd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

// Waits until fd shows one of events or cancelFd is readable, for at most timeoutMs. Returns the
// revents of fd, 0 on time-out or cancellation, -1 on failure.
int pollOrCancel(int fd, short events, int cancelFd, int timeoutMs) {
    const int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        int64_t left = deadline - monotonicMs();
        pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
        int r = ::poll(p, cancelFd >= 0 ? 2 : 1, left > 0 ? static_cast<int>(left) : 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0 || p[1].revents != 0) return 0;
        return p[0].revents;
    }
}

// The IPv4 addresses of host. A dotted address is taken at once; a name is looked up on a helper
// thread, so that the caller stops waiting as soon as cancelFd is readable or the time is up (the
// helper then finishes on its own and drops what it found).
bool resolveIPv4(const char* host, uint16_t port, int timeoutMs, int cancelFd,
                 std::vector<sockaddr_in>& out) {
    sockaddr_in numeric{};
    numeric.sin_family = AF_INET;
    numeric.sin_port = htons(port);
    if (inet_pton(AF_INET, host, &numeric.sin_addr) == 1) {
        out.push_back(numeric);
        return true;
    }
    struct Lookup {
        std::mutex lock;
        bool done = false;
        std::vector<sockaddr_in> found;
        int doneFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ~Lookup() {
            if (doneFd >= 0) ::close(doneFd);
        }
    };
    auto lookup = std::make_shared<Lookup>();
    if (lookup->doneFd < 0) return false;
    try {
        std::thread([lookup, name = std::string(host), port, delay = g_lookupDelayMs.load()] {
            if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            char service[8];
            snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
            std::vector<sockaddr_in> addresses;
            if (getaddrinfo(name.c_str(), service, &hints, &found) == 0) {
                for (addrinfo* a = found; a != nullptr; a = a->ai_next)
                    if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in))
                        addresses.push_back(*reinterpret_cast<sockaddr_in*>(a->ai_addr));
                freeaddrinfo(found);
            }
            std::lock_guard<std::mutex> hold(lookup->lock);
            lookup->found = std::move(addresses);
            lookup->done = true;
            uint64_t one = 1;
            ssize_t r = ::write(lookup->doneFd, &one, sizeof one);
            (void)r;
        }).detach();
    } catch (...) {
        return false;
    }
    pollOrCancel(lookup->doneFd, POLLIN, cancelFd, timeoutMs);
    std::lock_guard<std::mutex> hold(lookup->lock);
    if (!lookup->done || cancelRaised(cancelFd)) return false;
    out = lookup->found;
    return !out.empty();
}

}  // namespace

CTcpSocket::~CTcpSocket() { close(); }

CTcpSocket::CTcpSocket(CTcpSocket&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
    m_interrupted.store(other.m_interrupted.exchange(false));
}

CTcpSocket& CTcpSocket::operator=(CTcpSocket&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
        m_interrupted.store(other.m_interrupted.exchange(false));
    }
    return *this;
}

bool CTcpSocket::connect(const char* host, uint16_t port, int timeoutMs) {
    close();
    m_interrupted.store(false);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    char service[8];
    snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    if (getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) return false;
    bool ok = false;
    for (addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
        int fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        // Connect without blocking, then wait for the outcome with a limit, so that an
        // unreachable host does not hold the caller for minutes.
        setNonBlocking(fd, true);
        int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS) {
            // Wait in short slices so that interrupt() from another thread is seen.
            int64_t until = monotonicMs() + timeoutMs;
            int ev = 0;
            while (ev == 0 && !m_interrupted.load() && monotonicMs() < until)
                ev = pollFor(fd, POLLOUT, 100);
            if (m_interrupted.load()) ev = -1;
            int err = 0;
            socklen_t len = sizeof err;
            if (ev > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) r = 0;
        }
        if (r == 0 && setNonBlocking(fd, false)) {
            std::lock_guard<std::mutex> lock(m_closeMutex);
            m_fd = fd;
            ok = true;
        } else {
            ::close(fd);
        }
    }
    freeaddrinfo(found);
    if (ok) setNoDelay(true);
    return ok;
}

void CTcpSocket::delayNameLookupsForTests(int ms) { g_lookupDelayMs.store(ms < 0 ? 0 : ms); }

bool CTcpSocket::connectCancellable(const char* host, uint16_t port, int timeoutMs, int cancelFd) {
    close();
    const int64_t until = monotonicMs() + timeoutMs;
    std::vector<sockaddr_in> addresses;
    if (m_interrupted.load() || host == nullptr ||
        !resolveIPv4(host, port, timeoutMs, cancelFd, addresses))
        return false;
    for (const sockaddr_in& address : addresses) {
        if (m_interrupted.load() || cancelRaised(cancelFd)) return false;
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        setNonBlocking(fd, true);
        int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (r != 0 && errno == EINPROGRESS) {
            // Short slices, so that an interrupt() without a cancellation descriptor is seen too.
            int ev = 0;
            while (ev == 0 && !m_interrupted.load() && !cancelRaised(cancelFd)) {
                int64_t left = until - monotonicMs();
                if (left <= 0) break;
                ev = pollOrCancel(fd, POLLOUT, cancelFd, static_cast<int>(left < 100 ? left : 100));
            }
            int err = 0;
            socklen_t len = sizeof err;
            if (ev > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) r = 0;
        }
        if (r == 0 && setNonBlocking(fd, false)) {
            std::lock_guard<std::mutex> lock(m_closeMutex);
            // An interrupt that came meanwhile wins: the owner was told to stop.
            if (!m_interrupted.load() && !cancelRaised(cancelFd)) {
                m_fd = fd;
                break;
            }
        }
        ::close(fd);
    }
    if (m_fd < 0) return false;
    setNoDelay(true);
    return true;
}

bool CTcpSocket::listen(const char* address, int port, int backlog) {
    close();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (address == nullptr || address[0] == '\0') {
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, address, &sa.sin_addr) != 1) {
        ::close(fd);
        return false;
    }
    if (port < 0 || port > 65535 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd, backlog) != 0 || !setNonBlocking(fd, true)) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

int CTcpSocket::localPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (m_fd < 0 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
    return ntohs(sa.sin_port);
}

bool CTcpSocket::accept(CTcpSocket& out) {
    if (m_fd < 0) return false;
    for (;;) {
        int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            out.close();
            std::lock_guard<std::mutex> lock(out.m_closeMutex);
            out.m_fd = fd;
            out.m_interrupted.store(false);
            out.setNoDelay(true);
            return true;
        }
        if (errno == EINTR) continue;
        // A connection reset while it waited is gone; try the next one.
        if (errno == ECONNABORTED) continue;
        return false;
    }
}

long CTcpSocket::readSome(void* buf, size_t n) {
    if (m_fd < 0 || m_interrupted.load()) return READ_ERROR;
    for (;;) {
        ssize_t r = ::recv(m_fd, buf, n, MSG_DONTWAIT);
        if (r > 0) return static_cast<long>(r);
        if (r == 0) return n == 0 ? READ_WOULD_BLOCK : READ_END_OF_STREAM;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return READ_WOULD_BLOCK;
        return READ_ERROR;
    }
}

int CTcpSocket::waitReadable(int timeoutMs) {
    if (m_fd < 0 || m_interrupted.load()) return -1;
    int ev = pollFor(m_fd, POLLIN, timeoutMs);
    if (m_interrupted.load()) return -1;
    if (ev < 0) return -1;
    return ev == 0 ? 0 : 1;
}

bool CTcpSocket::writeAll(const void* buf, size_t n, int timeoutMs) {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        if (m_fd < 0 || m_interrupted.load()) return false;
        ssize_t r = ::send(m_fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            p += r;
            n -= static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The peer's window is full: wait for room, but not for ever.
            int ev = pollFor(m_fd, POLLOUT, timeoutMs);
            if (ev <= 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) return false;
            continue;
        }
        return false;
    }
    return !m_interrupted.load();
}

int CTcpSocket::bytesAvailable() const {
    if (m_fd < 0) return -1;
    int n = 0;
    if (ioctl(m_fd, FIONREAD, &n) != 0) return -1;
    return n;
}

bool CTcpSocket::peerAddress(std::string& out) const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (m_fd < 0 || getpeername(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        sa.sin_family != AF_INET)
        return false;
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text) == nullptr) return false;
    out = text;
    return true;
}

void CTcpSocket::setNoDelay(bool on) {
    if (m_fd < 0) return;
    int v = on ? 1 : 0;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
}

void CTcpSocket::shutdownSend() {
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_WR);
}

void CTcpSocket::interrupt() {
    std::lock_guard<std::mutex> lock(m_closeMutex);
    m_interrupted.store(true);
    int fd = m_fd;
    // shutdown wakes a poll or recv blocked on another thread; the descriptor itself stays
    // open until its owner closes it, so it cannot be reused under the owner's feet.
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void CTcpSocket::close() {
    std::lock_guard<std::mutex> lock(m_closeMutex);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

long CTcpSocket::writeSome(const void* buf, size_t n) {
    if (m_fd < 0 || m_interrupted.load()) return WRITE_ERROR;
    if (n == 0) return WRITE_WOULD_BLOCK;
    for (;;) {
        ssize_t r = ::send(m_fd, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) return static_cast<long>(r);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return WRITE_WOULD_BLOCK;
        return WRITE_ERROR;
    }
}

}  // namespace tovi
