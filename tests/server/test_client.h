// A raw protocol client for the server tests: sends exact bytes and reads whole frames with a
// time-out, so that tests can speak correct, partial or broken protocol to the real server.
#pragma once

#include <cstdint>
#include <string>

#include "platform/tcp_socket.h"

namespace tovi::test {

struct Frame {
    int32_t type = 0;
    std::string body;
    int32_t int32At(size_t offset) const;
};

class CTestClient {
  public:
    bool connect(int port);
    bool sendRaw(const std::string& bytes);
    bool sendFrame(int32_t type, const std::string& body);
    // Reads one whole frame, waiting at most timeoutMs; false on time-out or a closed connection.
    bool readFrame(Frame& out, int timeoutMs = 5000);
    // True when no byte arrives within ms (a close counts as something arriving).
    bool expectNothing(int ms);
    // True when the server closes the connection within timeoutMs (bytes before are skipped).
    bool waitClosed(int timeoutMs);
    void close() { m_socket.close(); }

    // The usual exchanges; each returns the answer's reason, or -1 for a missing or wrong answer
    // (failed is returned through the pointer when given).
    int login(const std::string& name, int32_t* failed = nullptr);
    int registerUser(const std::string& name, const std::string& group, int32_t* failed = nullptr);
    int rename(const std::string& name, const std::string& group, int32_t* failed = nullptr);
    // Sends a PKT_MAIL and reads until its result, keeping deliveries that come first (a sender
    // among the recipients) in *ownDelivery.
    int sendMail(const std::string& body, int32_t* failed = nullptr, Frame* ownDelivery = nullptr);

  private:
    int result(int32_t expectedType, int32_t* failed);
    bool readExact(char* dst, size_t n, int64_t deadlineMs);

    CTcpSocket m_socket;
    std::string m_pending;  // bytes received beyond the last frame
};

// Body builders.
std::string nameField(const std::string& name);
std::string int32Bytes(int32_t v);
std::string mailBody(int32_t sendType, const std::string& user, const std::string& group,
                     const std::string& sender, const std::string& text, int32_t kind = 0,
                     int32_t token = 1);
std::string frameBytes(int32_t type, const std::string& body);

}  // namespace tovi::test
