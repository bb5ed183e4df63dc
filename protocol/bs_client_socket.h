// CBsClientSocket: the one TCP connection class of both programs. It turns a blocking stream
// socket into the primitives the packet protocol is built on: read exactly N bytes with a deadline
// in whole seconds, write a block and flush it, tell without blocking whether anything waits, and
// close in order. It knows nothing of packets.
//
// The client creates one and connects it; the server attaches one to every accepted connection.
// The two uses differ only where marked "client" or "server" (the role given at construction).
//
// Reading goes through a 4096-byte reader that reads ahead, so bytes of the next packet can sit
// in it while the socket has nothing waiting; a Read served from those bytes makes no system call,
// and HasPending makes at most one. Writing goes through a 4096-byte writer; Write always flushes,
// Queue collects pieces of one packet so that they leave together at the next Flush or Write.
//
// One thread uses an object; only Interrupt may be called from another thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/tcp_socket.h"

namespace tovi {

enum class SocketRole { CLIENT, SERVER };

class CBsClientSocket {
public:
    static constexpr size_t STREAM_BUFFER_SIZE = 4096;
    // A Read never asks for more than this; larger counts fail (nothing in the protocol needs it).
    static constexpr unsigned MAX_READ_COUNT = 1u << 20;
    static constexpr int HOST_FIELD_SIZE = 24;

    explicit CBsClientSocket(SocketRole role = SocketRole::CLIENT);
    ~CBsClientSocket();
    CBsClientSocket(const CBsClientSocket&) = delete;
    CBsClientSocket& operator=(const CBsClientSocket&) = delete;

    // Client: connects to host (dotted IPv4 or a name, at most 23 characters kept) and port.
    // 1 on success, 0 on failure (no streams are left).
    int Connect(const char* host, int port);
    // Server: takes over a socket the listener accepted. Always 1.
    int Attach(CTcpSocket&& accepted);

    // Reads count bytes, waiting at most timeout seconds (-1: no deadline). Returns the object's
    // read buffer holding the bytes and a NUL after the requested count, valid until the next
    // Read; count then holds the bytes actually read, fewer than asked when the deadline passed.
    // Null when there is no connection, the peer closed before all bytes came (end of stream,
    // returned at once), or the stream failed. Server: first waits up to timeout seconds for data
    // (-1: null at once when nothing waits) and returns null when none came.
    char* Read(unsigned& count, int timeout);

    // Writes and flushes; 1 when sent, 0 on failure or with no connection (nothing is sent). A
    // failed Write closes the object.
    int Write(const void* bytes, unsigned length);
    // Adds bytes to the writer without flushing (it flushes by itself when full). Same results.
    int Queue(const void* bytes, unsigned length);
    // Sends what Queue collected. Same results as Write.
    int Flush();

    // 1 when a Read would find data, else 0. Never blocks. Notices the peer's close (and then
    // closes the object, as the close notification does).
    int HasPending();

    // Moves up to max bytes that are already here (reader first, then one non-blocking read of
    // the socket) into dest. Returns the count (0: nothing yet), -1 when the connection is gone.
    long ReadAvailable(char* dest, size_t max);

    // Orderly close; safe to call repeatedly.
    void Close();

    // Makes the owner's blocked or next Read or Write fail at once; callable from any thread.
    void Interrupt();

    // How long a Write may wait for the peer to take bytes before it counts as failed.
    void setWriteTimeoutMs(int ms) { m_writeTimeoutMs = ms; }

    int isConnected() const { return m_connected; }
    int isAttached() const { return m_attached; }
    // Server: set by every Close, cleared by the connection table once it has seen it.
    int isClosed() const { return m_closed; }
    void clearClosed() { m_closed = 0; }
    int isPending() const { return m_pending; }
    bool peerAddress(std::string& out) const { return m_socket.peerAddress(out); }
    // The descriptor, for readiness waits; -1 without a socket.
    int fd() const { return m_socket.fd(); }
    const char* host() const { return m_host; }
    int port() const { return m_port; }
    // Bytes read ahead and not yet handed out.
    size_t bufferedBytes() const { return m_inEnd - m_inPos; }
    // What the socket itself holds (FIONREAD), without the reader's bytes.
    int socketBytesAvailable() const { return m_socket.bytesAvailable(); }

private:
    bool fillReader(int waitMs, bool& endOfStream);
    bool flushWriter();

    SocketRole m_role;
    int m_connected = 0;
    int m_attached = 0;
    int m_closed = 0;
    int m_pending = 0;
    CTcpSocket m_socket;
    char m_in[STREAM_BUFFER_SIZE];
    size_t m_inPos = 0;
    size_t m_inEnd = 0;
    char m_out[STREAM_BUFFER_SIZE];
    size_t m_outLen = 0;
    char* m_readBuffer = nullptr;
    unsigned m_readCapacity = 0;
    char m_host[HOST_FIELD_SIZE] = {};
    int m_port = 0;
    int m_writeTimeoutMs = 10000;
};

}  // namespace tovi
