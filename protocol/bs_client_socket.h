// CBsClientSocket: the client's TCP connection. It turns a blocking stream socket into the
// primitives the packet protocol is built on: read exactly N bytes with a deadline in whole
// seconds, write a block and flush it, tell without blocking whether anything waits, and close in
// order. It knows nothing of packets.
//
// Reading goes through a 4096-byte reader that reads ahead, so bytes of the next packet can sit
// in it while the socket has nothing waiting; a Read served from those bytes makes no system call,
// and HasPending makes at most one. Writing goes through a 4096-byte writer; Write always flushes,
// Queue collects pieces of one packet so that they leave together at the next Flush or Write.
//
// One thread uses an object; only Interrupt may be called from another thread.
#pragma once

#include <cstddef>

#include "platform/tcp_socket.h"

namespace tovi {

class CBsClientSocket {
  public:
    static constexpr size_t STREAM_BUFFER_SIZE = 4096;
    // A Read never asks for more than this; larger counts fail (nothing in the protocol needs it).
    static constexpr unsigned MAX_READ_COUNT = 1u << 20;
    static constexpr int HOST_FIELD_SIZE = 24;
    // How long a Write may wait for the peer to take bytes before it counts as failed.
    static constexpr int WRITE_TIMEOUT_MS = 10000;

    CBsClientSocket() = default;
    ~CBsClientSocket();
    CBsClientSocket(const CBsClientSocket&) = delete;
    CBsClientSocket& operator=(const CBsClientSocket&) = delete;

    // Connects to host (dotted IPv4 or a name, at most 23 characters kept) and port.
    // 1 on success, 0 on failure (no streams are left).
    int Connect(const char* host, int port);
    // Takes over a socket connected elsewhere (the send worker connects with a cancellable wait).
    // Always 1.
    int Attach(CTcpSocket&& connected);

    // Reads count bytes, waiting at most timeout seconds (-1: no deadline). Returns the object's
    // read buffer holding the bytes and a NUL after the requested count, valid until the next
    // Read; count then holds the bytes actually read, fewer than asked when the deadline passed.
    // Null when there is no connection, the peer closed before all bytes came (end of stream,
    // returned at once), or the stream failed.
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

    // Flushes what Queue collected and ends the sending direction: the peer reads the end of
    // the stream, while this side goes on reading until the peer closes. 1, or 0 when the flush
    // failed (the object is then closed) or there is no connection.
    int ShutdownSend();
    // Orderly close; safe to call repeatedly.
    void Close();

    // Makes the owner's blocked or next Read or Write fail at once; callable from any thread.
    void Interrupt();

    int isConnected() const { return m_connected; }
    // The descriptor, for readiness waits; -1 without a socket.
    int fd() const { return m_socket.fd(); }
    // Bytes read ahead and not yet handed out.
    size_t bufferedBytes() const { return m_inEnd - m_inPos; }
    // What the socket itself holds (FIONREAD), without the reader's bytes.
    int socketBytesAvailable() const { return m_socket.bytesAvailable(); }

  private:
    bool fillReader(int waitMs, bool& endOfStream);
    bool flushWriter();
    void opened();

    int m_connected = 0;
    CTcpSocket m_socket;
    char m_in[STREAM_BUFFER_SIZE];
    size_t m_inPos = 0;
    size_t m_inEnd = 0;
    char m_out[STREAM_BUFFER_SIZE];
    size_t m_outLen = 0;
    char* m_readBuffer = nullptr;
    unsigned m_readCapacity = 0;
};

}  // namespace tovi
