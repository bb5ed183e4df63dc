// CTcpSocket: a POSIX TCP stream socket as the system needs it: blocking connect and accept,
// reads that never wait past a deadline, writes that never wait for ever, the bytes-available
// query, shutdown of the sending side and the peer address. errno is translated here into plain
// results and goes no further up.
//
// An object is used by one thread, except interrupt(), which another thread may call to make a
// blocked read or write of the owner return at once (the owner then sees a failure and closes).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace tovi {

class CTcpSocket {
  public:
    // Result of readSome(): bytes read (> 0), or one of these.
    static constexpr long READ_WOULD_BLOCK = 0;
    static constexpr long READ_END_OF_STREAM = -1;
    static constexpr long READ_ERROR = -2;

    CTcpSocket() = default;
    ~CTcpSocket();
    CTcpSocket(const CTcpSocket&) = delete;
    CTcpSocket& operator=(const CTcpSocket&) = delete;
    CTcpSocket(CTcpSocket&& other) noexcept;
    CTcpSocket& operator=(CTcpSocket&& other) noexcept;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Resolves host (dotted IPv4 or a name) and connects, waiting at most timeoutMs.
    bool connect(const char* host, uint16_t port, int timeoutMs = 20000);
    // The same, for an owner that can be told to stop: the name look-up and the connection
    // attempt end at once (false) as soon as cancelFd is readable (-1: no such descriptor), and
    // an interrupt() made before or during the call is kept, so that it fails too. The look-up
    // of a host name runs on a helper thread that is left to finish on its own when cancelled.
    bool connectCancellable(const char* host, uint16_t port, int timeoutMs, int cancelFd);
    // Tests: every later look-up of a host name by connectCancellable first waits this long on
    // its helper thread, as a slow name server would (0: no delay). Process-wide.
    static void delayNameLookupsForTests(int ms);

    // Binds to address (empty: all local addresses) and port, then listens. Port 0 lets the
    // system choose; localPort() tells which.
    bool listen(const char* address, int port, int backlog);
    int localPort() const;

    // Accepts one waiting connection into out without blocking; false when none waits.
    bool accept(CTcpSocket& out);

    // One recv of at most n bytes that does not wait: > 0 bytes, READ_WOULD_BLOCK when nothing
    // is there yet, READ_END_OF_STREAM after the peer's orderly close, READ_ERROR otherwise.
    long readSome(void* buf, size_t n);

    // Waits until the socket is readable (data, end of stream or error) for at most timeoutMs
    // (-1: no limit). Returns 1 readable, 0 time-out, -1 failure or interrupted.
    int waitReadable(int timeoutMs);

    // Sends all n bytes; gives up (false) when the peer takes none of them for timeoutMs, or on
    // any failure. Never raises SIGPIPE.
    bool writeAll(const void* buf, size_t n, int timeoutMs);

    // Bytes that can be read without blocking (FIONREAD), -1 when the query fails.
    int bytesAvailable() const;

    // Dotted IPv4 text of the peer; false when it cannot be learned.
    bool peerAddress(std::string& out) const;

    void setNoDelay(bool on);
    void shutdownSend();
    // Makes every blocked or later read and write of the owner fail at once. Thread-safe.
    void interrupt();
    bool interrupted() const { return m_interrupted.load(); }
    void close();

    // One send of at most n bytes that does not wait: the count taken (> 0), WRITE_WOULD_BLOCK
    // when the peer's window is full, WRITE_ERROR when the connection is gone. Never raises
    // SIGPIPE.
    static constexpr long WRITE_WOULD_BLOCK = 0;
    static constexpr long WRITE_ERROR = -2;
    long writeSome(const void* buf, size_t n);

  private:
    int m_fd = -1;
    std::atomic<bool> m_interrupted{false};
    // Guards the descriptor against interrupt() from another thread while the owner closes it.
    std::mutex m_closeMutex;
};

}  // namespace tovi
