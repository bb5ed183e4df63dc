#include "client/cli/command_line_sender.h"

#include <cstring>
#include <vector>

#include "client/app/mail_sender.h"
#include "client/connection/message_file.h"
#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/file.h"
#include "protocol/packets.h"

namespace tovi {

namespace {

// How long the session waits for the server to close after the sending side was ended, and for
// the receive worker to store what it was handed.
constexpr int DRAIN_SECONDS = 20;
constexpr int STORE_WAIT_MS = 5000;

std::string utf8(const std::string& cp932) { return cp932ToUtf8Lossy(cp932); }

}  // namespace

CCommandLineSender::CCommandLineSender(Identity identity, int replyWaitSeconds)
    : m_identity(std::move(identity)),
      m_replyWaitSeconds(replyWaitSeconds),
      m_storage(std::make_unique<CMailboxStorage>()) {}

CCommandLineSender::~CCommandLineSender() {
    m_socket.Close();
    if (m_receiver) finishReceiver();
}

SendResult CCommandLineSender::fail(SendResult result, const std::string& message) {
    m_message = message;
    return result;
}

SendResult CCommandLineSender::run(int32_t sendType, const std::string& destUser,
                                   const std::string& destGroup, const std::string& text,
                                   bool save) {
    std::string fsDir;
    if (m_identity.mailDirCp932.empty() ||
        !CMessageFile::fsDirectory(m_identity.mailDirCp932, fsDir) || fsDir.empty())
        return fail(SEND_NO_SETTINGS,
                    "no usable mail directory: mail handed over could not be kept");

    // The receive worker stores what the server hands this user, as in the desktop client.
    m_view.bind(&m_storage->lock, &m_storage->mailSlots, &m_storage->sendStatus);
    m_receiver = std::make_unique<CcRecMess>();
    m_param.lock = &m_storage->lock;
    m_param.mailSlots = &m_storage->mailSlots;
    m_param.status = &m_storage->receiveStatus;
    m_param.userName = m_identity.name.c_str();
    m_param.mailDirectory = m_identity.mailDirCp932.c_str();
    if (!m_receiver->start() ||
        !m_receiver->postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&m_param)))
        return fail(SEND_FAILED, "the receive worker could not be started");

    SendResult result = logIn();
    if (result == SEND_OK) result = checkRecipients(sendType, destGroup);
    // With --save the sent-mail file comes first, as in the window: its name fixes the send time
    // that the notice token carries. A mail the server refused leaves no file behind; one whose
    // answer never came keeps it (the server may have taken it).
    int32_t sendTime = nowSeconds();
    bool saved = false;
    if (result == SEND_OK && save) {
        saved =
            CMailSender::placeSentMail(fsDir, m_identity.name, sendType, destUser, text, sendTime);
        if (!saved)
            result = fail(SEND_FAILED, "the sent-mail file could not be written in " + fsDir +
                                           "; nothing was sent");
    }
    if (result == SEND_OK) result = sendMail(sendType, destUser, destGroup, text, sendTime);
    if (saved && result != SEND_OK && result != SEND_UNREACHABLE)
        removeFile(fsDir + CMessageFile::sentName(sendTime));
    // Whatever happened, what the server handed over so far (and until it closes) is kept.
    drain();
    if (!finishReceiver() && (result == SEND_OK || result == SEND_UNREACHABLE))
        result = fail(SEND_NOT_STORED, "mail for " + utf8(m_identity.name) +
                                           " arrived but could not be stored in " + fsDir);
    return result;
}

SendResult CCommandLineSender::logIn() {
    const std::string where = m_identity.host + ":" + std::to_string(m_identity.port);
    if (!m_socket.Connect(m_identity.host.c_str(), m_identity.port))
        return fail(SEND_UNREACHABLE, "the server " + where + " cannot be reached");
    char body[REGISTER_BODY_SIZE];
    std::string reply;
    ResultBody result;
    if (!writePacket(PKT_LOGIN, body, buildLogin(body, m_identity.name.c_str())) ||
        !awaitReply(PKT_LOGIN_RESULT, reply) || !parseResult(reply.data(), reply.size(), result))
        return fail(SEND_UNREACHABLE, "the server " + where + " did not answer the log-in");
    if (result.failed == 0) return SEND_OK;
    if (result.reason == LOGIN_ALREADY_CONNECTED)
        return fail(SEND_NAME_IN_USE, utf8(m_identity.name) +
                                          " is logged in elsewhere (its desktop client is "
                                          "connected); the server refuses a second log-in");
    if (result.reason != LOGIN_UNKNOWN_NAME)
        return fail(SEND_LOGIN_REFUSED,
                    "the server refused the log-in (reason " + std::to_string(result.reason) + ")");
    // A name the server does not know is registered with its group, as at a first start.
    if (!writePacket(PKT_REGISTER, body,
                     buildRegister(body, m_identity.name.c_str(), m_identity.group.c_str())) ||
        !awaitReply(PKT_REGISTER_RESULT, reply) || !parseResult(reply.data(), reply.size(), result))
        return fail(SEND_UNREACHABLE, "the server " + where + " did not answer the registration");
    if (result.failed == 0) return SEND_OK;
    switch (result.reason) {
        case REGISTER_NAME_TAKEN:
            return fail(SEND_LOGIN_REFUSED, "the server refused to register " +
                                                utf8(m_identity.name) + ": the name is taken");
        case REGISTER_TABLE_FULL:
            return fail(SEND_LOGIN_REFUSED, "the server refused to register " +
                                                utf8(m_identity.name) + ": its user table is full");
        default:
            return fail(SEND_LOGIN_REFUSED, "the server refused to register " +
                                                utf8(m_identity.name) + " (reason " +
                                                std::to_string(result.reason) + ")");
    }
}

SendResult CCommandLineSender::checkRecipients(int32_t sendType, const std::string& destGroup) {
    if (sendType == SEND_TO_USER) return SEND_OK;  // the server answers for one user itself
    char body[USERLIST_REQ_BODY_SIZE];
    std::string reply;
    if (!writePacket(PKT_USERLIST_REQ, body,
                     buildUserListReq(body, USERLIST_FILTER_ALL, destGroup.c_str())) ||
        !awaitReply(PKT_USERLIST, reply))
        return fail(SEND_UNREACHABLE, "the server did not answer the user list request");
    const bool groupSend = sendType == SEND_TO_GROUP || sendType == SEND_TO_GROUP_CONNECTED;
    const bool connectedOnly =
        sendType == SEND_TO_GROUP_CONNECTED || sendType == SEND_TO_ALL_CONNECTED;
    bool groupKnown = false;
    bool someoneConnected = false;
    UserRecord record;
    for (size_t i = 0; parseUserRecord(reply.data(), reply.size(), i, record); ++i) {
        if (groupSend && !sameName(record.group, destGroup.c_str())) continue;
        groupKnown = true;
        if (record.connected != 0 && !sameName(record.name, m_identity.name.c_str()))
            someoneConnected = true;
    }
    if (groupSend && !groupKnown)
        return fail(SEND_UNKNOWN_DESTINATION, "the group " + utf8(destGroup) + " has no members");
    if (connectedOnly && !someoneConnected)
        return fail(SEND_NOBODY_CONNECTED, groupSend ? "no member of " + utf8(destGroup) +
                                                           " is connected; nothing was sent"
                                                     : "nobody is connected; nothing was sent");
    return SEND_OK;
}

SendResult CCommandLineSender::sendMail(int32_t sendType, const std::string& destUser,
                                        const std::string& destGroup, const std::string& text,
                                        int32_t sendTime) {
    std::vector<char> body(MAIL_HEADER_SIZE + text.size());
    const uint32_t length = CMailSender::mailRequest(sendType, destUser, destGroup, m_identity.name,
                                                     sendTime, text, body.data());
    if (length == 0) return fail(SEND_TEXT_REFUSED, "the message is too long to send");
    std::string reply;
    ResultBody result;
    if (!writePacket(PKT_MAIL, body.data(), length) || !awaitReply(PKT_MAIL_RESULT, reply) ||
        !parseResult(reply.data(), reply.size(), result))
        return fail(SEND_UNREACHABLE, "the connection ended before the server answered the mail");
    if (result.failed == 0) return SEND_OK;
    if (result.reason == MAIL_UNKNOWN_USER)
        return fail(SEND_UNKNOWN_DESTINATION, sendType == SEND_TO_USER
                                                  ? "the user " + utf8(destUser) + " does not exist"
                                                  : "the server refused the mail");
    if (result.reason == MAIL_HOLD_FAILED)
        return fail(SEND_NOT_HELD, "the server could not keep the mail for an offline recipient");
    return fail(SEND_FAILED,
                "the server refused the mail (reason " + std::to_string(result.reason) + ")");
}

bool CCommandLineSender::writePacket(int32_t type, const char* body, size_t length) {
    char header[FRAME_HEADER_SIZE];
    putFrameHeader(header, type, static_cast<int32_t>(length));
    return m_socket.Queue(header, sizeof header) == 1 &&
           m_socket.Write(body, static_cast<unsigned>(length)) == 1;
}

bool CCommandLineSender::readPacket(int32_t& type, std::string& body, int waitSeconds) {
    unsigned count = 8;
    const char* bytes = m_socket.Read(count, waitSeconds);
    if (bytes == nullptr || count != 8) return false;
    type = getInt32(bytes);
    const int32_t length = getInt32(bytes + 4);
    if (length < 0 || static_cast<unsigned>(length) > CBsClientSocket::MAX_READ_COUNT) return false;
    count = static_cast<unsigned>(length);
    body.clear();
    if (count == 0) return true;
    bytes = m_socket.Read(count, waitSeconds);
    if (bytes == nullptr || count != static_cast<unsigned>(length)) return false;
    body.assign(bytes, count);
    return true;
}

bool CCommandLineSender::awaitReply(int32_t expectedType, std::string& body) {
    const int64_t end = monotonicMs() + int64_t(m_replyWaitSeconds) * 1000;
    for (;;) {
        const int64_t left = end - monotonicMs();
        if (left <= 0) return false;
        int32_t type = 0;
        if (!readPacket(type, body, static_cast<int>((left + 999) / 1000))) {
            m_lost = true;
            return false;
        }
        if (type == expectedType) return true;
        if (type == PKT_MAIL) storeDelivery(body);
        // Anything else is no answer to this request.
    }
}

bool CCommandLineSender::storeDelivery(const std::string& body) {
    if (body.size() > MAILBOX_MAX_BODY) return false;
    std::vector<char> packet(FRAME_HEADER_SIZE + body.size());
    putFrameHeader(packet.data(), PKT_MAIL, static_cast<int32_t>(body.size()));
    std::memcpy(packet.data() + FRAME_HEADER_SIZE, body.data(), body.size());
    // The receive worker empties slot 0 before it writes any file.
    const int64_t end = monotonicMs() + STORE_WAIT_MS;
    while (m_view.putSlot(static_cast<unsigned>(packet.size()), packet.data(), SLOT_INBOUND) == 0) {
        if (monotonicMs() > end) return false;
        sleepMs(2);
    }
    ++m_deliveries;
    return true;
}

void CCommandLineSender::drain() {
    if (!m_socket.isConnected()) return;
    if (m_socket.ShutdownSend() == 1) {
        const int64_t end = monotonicMs() + DRAIN_SECONDS * 1000;
        int32_t type = 0;
        std::string body;
        while (monotonicMs() < end && readPacket(type, body, DRAIN_SECONDS)) {
            if (type == PKT_MAIL) storeDelivery(body);
        }
    }
    m_socket.Close();
}

bool CCommandLineSender::finishReceiver() {
    if (!m_receiver) return true;
    const int64_t end = monotonicMs() + STORE_WAIT_MS;
    // Everything handed over leaves slot 0 and is stored (or kept for a retry, which then has
    // until the end of the wait).
    while ((m_view.peekSlot(nullptr, SLOT_INBOUND) != 0 || m_receiver->unsavedCount() != 0) &&
           monotonicMs() < end)
        sleepMs(5);
    const bool stored =
        m_view.peekSlot(nullptr, SLOT_INBOUND) == 0 && m_receiver->unsavedCount() == 0;
    m_receiver->postMessage(WM_WORKER_STOP);
    m_receiver->join(STORE_WAIT_MS);
    m_receiver.reset();
    return stored;
}

}  // namespace tovi
