// CRawClient: a protocol client for benchmarks that speaks the wire format directly over a
// CBsClientSocket, without the client program's workers: connect, the log-in and registration
// handshake, whole packets out (written at once or queued) and whole packets in with a deadline.
//
// Used by one thread at a time; interrupt() may be called from another one.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/bs_client_socket.h"

namespace tovi {

class CRawClient {
  public:
    CRawClient() = default;

    bool connect(int port);
    void close() { m_socket.Close(); }
    void interrupt() { m_socket.Interrupt(); }
    bool isConnected() const { return m_socket.isConnected() != 0; }

    // Sends PKT_LOGIN and waits up to 20 s for PKT_LOGIN_RESULT. Returns the reason (0 accepted),
    // or -1 when no proper answer came.
    int login(const char* name);
    // The first log-in of a new user: PKT_LOGIN answered (48, 1, 2), then PKT_REGISTER on the
    // same connection answered (54, 0, 0). False with the reason in error otherwise.
    bool registerNew(const char* name, const char* group, std::string& error);

    // Writes one packet as a single block.
    bool sendPacket(int32_t type, const char* body, size_t length);
    // Adds a packet to the outgoing buffer; flush() sends what was queued.
    bool queuePacket(int32_t type, const char* body, size_t length);
    bool flush();

    // Reads one whole packet, waiting at most timeoutSeconds for each piece. The body stays
    // valid until the next read. False on time-out, a closed connection or a length outside
    // 0..20000.
    bool readPacket(int32_t& type, const char*& body, uint32_t& length, int timeoutSeconds);
    // Reads a result packet of the given type; false unless it came with an 8-byte body.
    bool readResult(int32_t expectedType, int32_t& failed, int32_t& reason, int timeoutSeconds);

    // Whether a whole packet header is already waiting (read ahead or in the socket), without
    // reading it.
    bool headerWaiting() const;
    size_t bufferedBytes() const { return m_socket.bufferedBytes(); }

    CBsClientSocket& socket() { return m_socket; }

  private:
    CBsClientSocket m_socket;
    char m_header[8] = {};
};

}  // namespace tovi
