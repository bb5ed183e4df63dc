// CCommandLineSender: one short session of `tovic --send`. It connects to the server, logs in
// (registering the name with its group when the server does not know it), sends one mail, waits
// for the server's answer, then ends the sending direction and reads until the server closes
// the connection. Every delivery the server hands it meanwhile (mail for this user, read
// notices) is stored by a receive worker (CcRecMess) in the user's mail directory, exactly as
// the desktop client stores it; nothing handed over is dropped.
//
// Each step answers with a SendResult; message() then holds one line for the person (UTF-8).
// A reply must begin within replyWaitSeconds (20 s, as the desktop client waits).
//
// One thread (besides the receive worker it runs).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "client/connection/cc_rec_mess.h"
#include "client/connection/mailbox_storage.h"
#include "client/connection/packet_mailbox.h"
#include "client/connection/worker_start_param.h"
#include "protocol/bs_client_socket.h"

namespace tovi {

// Exit statuses of `tovic --send`.
enum SendResult {
    SEND_OK = 0,                   // the server accepted the mail
    SEND_FAILED = 1,               // anything else (a file that could not be written ...)
    SEND_USAGE = 2,                // the command line is wrong
    SEND_NO_SETTINGS = 3,          // no server, name, group or mail directory to use
    SEND_NOT_CP932 = 4,            // the text is not UTF-8 or holds a character cp932 lacks
    SEND_TEXT_REFUSED = 5,         // the text is empty or too long
    SEND_UNREACHABLE = 6,          // the server cannot be reached, or the connection was lost
    SEND_NAME_IN_USE = 7,          // the name is logged in elsewhere (its desktop client runs)
    SEND_LOGIN_REFUSED = 8,        // log-in or registration refused
    SEND_UNKNOWN_DESTINATION = 9,  // no such user, or no such group
    SEND_NOBODY_CONNECTED = 10,    // --connected, and no recipient is connected
    SEND_NOT_HELD = 11,            // the server could not keep the mail for an offline user
    SEND_NOT_STORED = 12,          // mail handed to this user could not be stored
};

class CCommandLineSender {
  public:
    struct Identity {
        std::string host;
        int port = 0;
        std::string name;          // cp932
        std::string group;         // cp932
        std::string mailDirCp932;  // ends with '/'
    };

    explicit CCommandLineSender(Identity identity, int replyWaitSeconds = 20);
    ~CCommandLineSender();

    // The whole session: log in, send text (the composed cp932 message text) with sendType to
    // destUser / destGroup (cp932), write the sent-mail file when save is set and the mail was
    // accepted, drain, store what arrived.
    SendResult run(int32_t sendType, const std::string& destUser, const std::string& destGroup,
                   const std::string& text, bool save);

    const std::string& message() const { return m_message; }
    // Deliveries handed to the receive worker during the session.
    int deliveries() const { return m_deliveries; }

  private:
    SendResult logIn();
    // Asks for the user list and checks that the group exists and, for a send to connected
    // users only, that one of them (other than this user) is connected.
    SendResult checkRecipients(int32_t sendType, const std::string& destGroup);
    SendResult sendMail(int32_t sendType, const std::string& destUser, const std::string& destGroup,
                        const std::string& text, int32_t sendTime);
    // Reads packets until one of the expected type arrives (deliveries on the way are stored).
    bool awaitReply(int32_t expectedType, std::string& body);
    // One packet; false when the connection ended or the deadline passed.
    bool readPacket(int32_t& type, std::string& body, int waitSeconds);
    bool writePacket(int32_t type, const char* body, size_t length);
    // Hands a delivery to the receive worker (waits while slot 0 is occupied).
    bool storeDelivery(const std::string& body);
    // Ends the sending side and reads until the server closes, storing every delivery.
    void drain();
    // Stops the receive worker once everything handed to it is stored; false when some could
    // not be stored.
    bool finishReceiver();
    SendResult fail(SendResult result, const std::string& message);

    Identity m_identity;
    int m_replyWaitSeconds;
    CBsClientSocket m_socket;
    std::unique_ptr<CMailboxStorage> m_storage;
    CPacketMailbox m_view;
    std::unique_ptr<CcRecMess> m_receiver;
    WorkerStartParam m_param;
    std::string m_message;
    int m_deliveries = 0;
    bool m_lost = false;
};

}  // namespace tovi
