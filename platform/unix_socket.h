// CUnixSocket: a local stream socket on a path in the file system (AF_UNIX), for the server's
// control socket: a listener made owner-only (mode 0600), the connections it accepts, and the
// connecting side used by the control command.
//
// A listener takes over a socket file left by a process that has ended (nobody accepts on it any
// more) and refuses a path on which a live process still listens. Closing a listener removes its
// file.
//
// An object is used by one thread, except interrupt() of a listener, which another thread may
// call to make a blocked wait return.
#pragma once

#include <cstddef>
#include <string>

namespace tovi {

class CUnixSocket {
  public:
    // listen() and connect() results.
    static constexpr int DONE = 0;
    static constexpr int LIVE = 1;     // listen: another process listens on the path
    static constexpr int MISSING = 2;  // connect: no socket file (or nobody listens on it)
    static constexpr int DENIED = 3;   // connect: the caller may not open it
    static constexpr int FAILED = 4;   // anything else (reason in error)

    CUnixSocket() = default;
    ~CUnixSocket();
    CUnixSocket(const CUnixSocket&) = delete;
    CUnixSocket& operator=(const CUnixSocket&) = delete;

    int listen(const std::string& path, std::string& error);
    int connect(const std::string& path, std::string& error);
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Waits at most timeoutMs for a connection (or interrupt()); false when none came.
    bool accept(CUnixSocket& out, int timeoutMs);
    // Makes a waiting accept() return false; from any thread.
    void interrupt();

    // Reads until the peer ends its side or maxBytes have come, for at most timeoutMs in all.
    // False on a failure or time-out before the end (out then holds what came).
    bool readToEnd(std::string& out, size_t maxBytes, int timeoutMs);
    // Reads up to and including the first line feed (at most maxBytes), for at most timeoutMs.
    bool readLine(std::string& out, size_t maxBytes, int timeoutMs);
    // Sends every byte, for at most timeoutMs in all.
    bool writeAll(const std::string& data, int timeoutMs);
    void shutdownSend();
    void close();

  private:
    int m_fd = -1;
    int m_wake[2] = {-1, -1};  // listener: the pipe interrupt() writes to
    std::string m_path;        // listener: the file to remove when closed
};

}  // namespace tovi
