#include "platform/unix_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/clock.h"

namespace tovi {

namespace {

bool fillAddress(const std::string& path, sockaddr_un& address, std::string& error) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size());
    return true;
}

std::string describe(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// Waits for the descriptor's readiness (events) until deadlineMs of the monotonic clock.
bool waitFor(int fd, short events, int64_t deadlineMs) {
    while (true) {
        const int64_t left = deadlineMs - monotonicMs();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

}  // namespace

CUnixSocket::~CUnixSocket() { close(); }

int CUnixSocket::listen(const std::string& path, std::string& error) {
    close();
    sockaddr_un address;
    if (!fillAddress(path, address, error)) return FAILED;
    // A socket file that somebody still accepts on belongs to a live server; one that refuses
    // connections was left by a server that ended.
    {
        CUnixSocket probe;
        std::string ignored;
        const int found = probe.connect(path, ignored);
        if (found == DONE) {
            error = "another server listens on " + path;
            return LIVE;
        }
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket";
            return FAILED;
        }
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = describe("socket", path);
        return FAILED;
    }
    // Owner only from the moment the file appears.
    const mode_t old = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::umask(old);
    if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 8) != 0) {
        error = describe("listen on", path);
        ::close(fd);
        return FAILED;
    }
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = describe("pipe for", path);
        ::close(fd);
        ::unlink(path.c_str());
        return FAILED;
    }
    m_fd = fd;
    m_path = path;
    return DONE;
}

int CUnixSocket::connect(const std::string& path, std::string& error) {
    close();
    sockaddr_un address;
    if (!fillAddress(path, address, error)) return FAILED;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = describe("socket", path);
        return FAILED;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int e = errno;
        error = describe("connect to", path);
        ::close(fd);
        if (e == ENOENT || e == ECONNREFUSED) return MISSING;
        if (e == EACCES || e == EPERM) return DENIED;
        return FAILED;
    }
    m_fd = fd;
    return DONE;
}

bool CUnixSocket::accept(CUnixSocket& out, int timeoutMs) {
    if (m_fd < 0) return false;
    pollfd p[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    if (::poll(p, 2, timeoutMs) <= 0 || (p[1].revents & POLLIN) != 0) return false;
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    out.close();
    out.m_fd = fd;
    return true;
}

void CUnixSocket::interrupt() {
    if (m_wake[1] >= 0) {
        const char c = 1;
        (void)!::write(m_wake[1], &c, 1);
    }
}

bool CUnixSocket::readToEnd(std::string& out, size_t maxBytes, int timeoutMs) {
    const int64_t deadline = monotonicMs() + timeoutMs;
    char buf[4096];
    while (out.size() < maxBytes) {
        if (!waitFor(m_fd, POLLIN, deadline)) return false;
        const ssize_t n = ::read(m_fd, buf, std::min(sizeof buf, maxBytes - out.size()));
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return true;
}

bool CUnixSocket::readLine(std::string& out, size_t maxBytes, int timeoutMs) {
    const int64_t deadline = monotonicMs() + timeoutMs;
    while (out.size() < maxBytes) {
        if (!waitFor(m_fd, POLLIN, deadline)) return false;
        char c = 0;
        const ssize_t n = ::read(m_fd, &c, 1);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out.push_back(c);
        if (c == '\n') return true;
    }
    return false;
}

bool CUnixSocket::writeAll(const std::string& data, int timeoutMs) {
    const int64_t deadline = monotonicMs() + timeoutMs;
    size_t done = 0;
    while (done < data.size()) {
        if (!waitFor(m_fd, POLLOUT, deadline)) return false;
        const ssize_t n = ::send(m_fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void CUnixSocket::shutdownSend() {
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_WR);
}

void CUnixSocket::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    for (int& w : m_wake) {
        if (w >= 0) ::close(w);
        w = -1;
    }
    if (!m_path.empty()) ::unlink(m_path.c_str());
    m_path.clear();
}

}  // namespace tovi
