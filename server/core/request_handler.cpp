#include "server/core/request_handler.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/event_log.h"

namespace tovi {

void CRequestHandler::handlePacket(int index, bool logIn, int32_t type, const char* body,
                                   size_t length) {
    if (logIn) {
        handleLogin(index, body, length);
        return;
    }
    switch (type) {
        case PKT_MAIL:
            handleMail(index, body, length);
            break;
        case PKT_REGISTER:
            handleRegister(index, body, length);
            break;
        case PKT_RENAME:
            handleRename(index, body, length);
            break;
        case PKT_USERLIST_REQ:
            handleUserList(index, body, length);
            break;
        default:
            break;  // read and dropped (a second PKT_LOGIN among them)
    }
}

void CRequestHandler::handleLogin(int index, const char* body, size_t length) {
    // The name is at most a name field; a longer log-in is refused rather than cut.
    if (length > NAME_FIELD_SIZE) {
        m_out.sendResult(index, PKT_LOGIN_RESULT, 1, LOGIN_BAD_HANDSHAKE);
        return;
    }
    char name[NAME_BUFFER_SIZE];
    std::memcpy(name, body, length);
    name[length] = '\0';
    const int reason = m_users.bindLogin(index, name);
    if (reason != 0)
        logEvent("log-in of " + cp932ToUtf8Lossy(name) + " refused: " +
                 (reason == CUserTable::BIND_ALREADY_CONNECTED ? "already connected"
                                                               : "not registered"));
    if (!m_out.sendResult(index, PKT_LOGIN_RESULT, reason == 0 ? 0 : 1, reason)) return;
    if (reason == 0) m_out.scheduleHandOver(index, name, LOGIN_PAUSE_MS);
}

int CRequestHandler::routeMail(int32_t sendType, const char* user, const char* group,
                               const char* payload, size_t length, uint64_t* ticket) {
    *ticket = 0;
    const char* nameFilter = nullptr;
    const char* groupFilter = nullptr;
    bool connectedOnly = false;
    switch (sendType) {
        case SEND_TO_USER:
            nameFilter = user;
            break;
        case SEND_TO_GROUP:
            groupFilter = group;
            break;
        case SEND_TO_GROUP_CONNECTED:
            groupFilter = group;
            connectedOnly = true;
            break;
        case SEND_TO_ALL:
            break;
        case SEND_TO_ALL_CONNECTED:
            connectedOnly = true;
            break;
        default:
            return MAIL_DONE;  // goes nowhere
    }
    const int32_t now = nowSeconds();
    int reason = MAIL_DONE;
    bool first = true;
    bool held = false;
    std::vector<int64_t> records;  // held by this routing
    char name[NAME_BUFFER_SIZE];
    char userGroup[NAME_BUFFER_SIZE];
    for (;;) {
        const int connection =
            m_users.next(name, userGroup, groupFilter, nameFilter, connectedOnly, first);
        if (connection == CUserTable::NEXT_NONE) {
            if (first && sendType == SEND_TO_USER) reason = MAIL_UNKNOWN_USER;
            break;
        }
        first = false;
        const int outcome =
            connection < 0 ? DELIVERY_REFUSED : m_out.deliver(connection, now, payload, length, -1);
        if (outcome != DELIVERY_WRITTEN) held = true;
        if (outcome == DELIVERY_STARTED || outcome == DELIVERY_BEHIND ||
            outcome == DELIVERY_REFUSED) {
            // Not connected, its connection could not take more (and has ended), or the mail
            // could not be written into its socket now: held, on disk before the sender hears.
            int64_t ref = -1;
            if (m_store.holdMail(name, now, payload, length, false, &ref)) {
                records.push_back(ref);
                if (outcome == DELIVERY_STARTED) {
                    m_store.takeInFlight(ref);
                    m_out.attachHeld(connection, ref);
                } else if (outcome == DELIVERY_BEHIND) {
                    m_out.owesHeld(connection);
                }
            } else if (outcome != DELIVERY_STARTED) {
                // (Mail written in part goes on as it is: it cannot be taken back.)
                reason = MAIL_HOLD_FAILED;
                break;
            }
        }
        if (sendType == SEND_TO_USER) break;
    }
    // A refused mail is never delivered: what this routing held goes.
    if (reason == MAIL_HOLD_FAILED) m_store.withdraw(records);
    // (A connection that ended while taking this mail held its queue before it.)
    if (held) *ticket = m_store.requestSync();
    return reason;
}

void CRequestHandler::handleMail(int index, const char* body, size_t length) {
    MailRequest mail;
    if (!parseMailRequest(body, length, mail)) {
        // Too long, or too short to hold its routing header.
        m_out.sendResult(index, PKT_MAIL_RESULT, 1, MAIL_UNKNOWN_USER);
        return;
    }
    uint64_t ticket = 0;
    const int reason = routeMail(mail.sendType, mail.destUser, mail.destGroup, mail.payload,
                                 mail.payloadLength, &ticket);
    // Every record held for this mail is on disk before the sender hears of success.
    if (reason == MAIL_DONE && ticket != 0)
        m_out.sendResultAfterSync(index, PKT_MAIL_RESULT, ticket);
    else
        m_out.sendResult(index, PKT_MAIL_RESULT, reason == MAIL_DONE ? 0 : 1, reason);
}

void CRequestHandler::handleRegister(int index, const char* body, size_t length) {
    NamePair names;
    if (!parseNamePair(body, length, names)) return;  // wrong length: no answer
    // A connection carries at most one user: the user it carried so far gives it up, and gets
    // it back when the new name is not taken on (name taken, table full, no address, not saved).
    char previous[NAME_BUFFER_SIZE] = {};
    const char* carried = m_users.userOf(index);
    if (carried != nullptr) std::memcpy(previous, carried, sizeof previous);
    m_users.unbindConnection(index);
    std::string address;
    int reason = REGISTER_NO_ADDRESS;
    if (m_out.peerAddress(index, address))
        reason = m_users.add(names.name, address.c_str(), names.group, index, true);
    if (reason != CUserTable::ADD_DONE && carried != nullptr) m_users.bindLogin(index, previous);
    if (reason == CUserTable::ADD_DONE || reason == CUserTable::ADD_NOT_SAVED)
        logEvent("user " + cp932ToUtf8Lossy(names.name) + " registered from " + address +
                 (reason == CUserTable::ADD_NOT_SAVED ? ", but TovisUser.dat could not be written"
                                                      : ""));
    m_out.sendResult(index, PKT_REGISTER_RESULT, reason == 0 ? 0 : 1, reason);
}

void CRequestHandler::handleRename(int index, const char* body, size_t length) {
    NamePair names;
    if (!parseNamePair(body, length, names)) return;
    char oldName[NAME_BUFFER_SIZE];
    char oldGroup[NAME_BUFFER_SIZE];
    if (!m_users.rename(index, names.name, names.group, oldName, oldGroup)) {
        m_out.sendResult(index, PKT_REGISTER_RESULT, 1, 0);
        return;
    }
    // What is held under the name it leaves goes with it (on disk before the answer), and is
    // handed over at once. Where that cannot be done the rename is undone and refused, so that
    // no held mail is left under a name nobody has.
    if (!m_store.carryOver(oldName, names.name)) {
        char ignored[NAME_BUFFER_SIZE];
        char ignoredGroup[NAME_BUFFER_SIZE];
        m_users.rename(index, oldName, oldGroup, ignored, ignoredGroup);
        m_out.sendResult(index, PKT_REGISTER_RESULT, 1, 0);
        return;
    }
    if (m_out.sendResult(index, PKT_REGISTER_RESULT, 0, 0))
        m_out.scheduleHandOver(index, names.name, 0);
}

void CRequestHandler::handleUserList(int index, const char* body, size_t length) {
    UserListRequest request;
    if (!parseUserListRequest(body, length, request)) return;
    const char* groupFilter = request.filter == USERLIST_FILTER_GROUP ? request.group : nullptr;
    char name[NAME_BUFFER_SIZE];
    char group[NAME_BUFFER_SIZE];
    size_t n = FRAME_HEADER_SIZE;
    for (bool restart = true;; restart = false) {
        const int connection = m_users.next(name, group, groupFilter, nullptr, false, restart);
        if (connection == CUserTable::NEXT_NONE) break;
        n += buildUserRecord(m_frame + n, connection != -1 ? 1 : 0, name, group);
    }
    putFrameHeader(m_frame, PKT_USERLIST, static_cast<int32_t>(n - FRAME_HEADER_SIZE));
    m_out.sendFrame(index, m_frame, n);
}

bool CRequestHandler::deliverHeld(int32_t storedTime, const char* payload, size_t length,
                                  int64_t ref) {
    return m_handOverSlot >= 0 &&
           m_out.deliver(m_handOverSlot, storedTime, payload, length, ref) == DELIVERY_QUEUED;
}

bool CRequestHandler::redeliverHeld(int index, const char* name, size_t maxBytes, bool* more,
                                    bool thin, bool* waiting) {
    m_handOverSlot = index;
    const bool ok = m_store.redeliverHeld(name, m_holdLimit, nowSeconds(), *this, maxBytes, more,
                                          thin, waiting);
    m_handOverSlot = -1;
    return ok;
}

}  // namespace tovi
