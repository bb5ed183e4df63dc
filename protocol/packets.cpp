#include "protocol/packets.h"

namespace tovi {

void putName(char* field, const char* name, size_t size) {
    size_t n = name ? strnlen(name, size) : 0;
    if (n > 0) std::memcpy(field, name, n);
    std::memset(field + n, 0, size - n);
}

void getName(const char* field, char* out, size_t size) {
    std::memcpy(out, field, size);
    out[size] = '\0';
}

size_t putFrameHeader(char* dst, int32_t type, int32_t length) {
    putInt32(dst, type);
    putInt32(dst + 4, length);
    return FRAME_HEADER_SIZE;
}

size_t buildLogin(char* dst, const char* name) {
    putName(dst, name);
    return LOGIN_BODY_SIZE;
}

size_t buildRegister(char* dst, const char* name, const char* group) {
    putName(dst, name);
    putName(dst + NAME_FIELD_SIZE, group);
    return REGISTER_BODY_SIZE;
}

size_t buildResult(char* dst, int32_t failed, int32_t reason) {
    putInt32(dst, failed);
    putInt32(dst + 4, reason);
    return RESULT_BODY_SIZE;
}

size_t buildUserListReq(char* dst, int32_t filter, const char* group) {
    putInt32(dst, filter);
    putName(dst + 4, group);
    return USERLIST_REQ_BODY_SIZE;
}

size_t buildUserRecord(char* dst, int32_t connected, const char* name, const char* group) {
    putInt32(dst, connected);
    putName(dst + 4, name);
    putName(dst + 24, group);
    return USERLIST_RECORD_SIZE;
}

size_t buildMail(char* dst, int32_t sendType, const char* destUser, const char* destGroup,
                 int32_t kind, const char* sender, int32_t token, const char* text,
                 size_t textLength) {
    if (textLength > MAX_MAIL_BODY - MAIL_HEADER_SIZE) return 0;
    std::memset(dst, 0, MAIL_HEADER_SIZE);
    putInt32(dst, sendType);
    putName(dst + 4, destUser);
    putName(dst + 24, destGroup);
    putInt32(dst + 44, kind);
    putName(dst + 48, sender);
    putInt32(dst + 68, token);
    if (textLength > 0) std::memcpy(dst + MAIL_HEADER_SIZE, text, textLength);
    return MAIL_HEADER_SIZE + textLength;
}

size_t buildReadNotice(char* dst, const char* originalSender, const char* reader, int32_t token) {
    return buildMail(dst, SEND_TO_USER, originalSender, "", MAIL_READ_NOTICE, reader, token,
                     nullptr, 0);
}

size_t buildDelivery(char* dst, int32_t time, const char* payload, size_t payloadLength) {
    putInt32(dst, time);
    if (payloadLength > 0) std::memcpy(dst + 4, payload, payloadLength);
    return 4 + payloadLength;
}

bool parseResult(const char* body, size_t length, ResultBody& out) {
    if (length != RESULT_BODY_SIZE) return false;
    out.failed = getInt32(body);
    out.reason = getInt32(body + 4);
    return true;
}

bool parseNamePair(const char* body, size_t length, NamePair& out) {
    if (length != REGISTER_BODY_SIZE) return false;
    getName(body, out.name);
    getName(body + NAME_FIELD_SIZE, out.group);
    return true;
}

bool parseUserListRequest(const char* body, size_t length, UserListRequest& out) {
    if (length != USERLIST_REQ_BODY_SIZE) return false;
    out.filter = getInt32(body);
    getName(body + 4, out.group);
    return true;
}

bool parseUserRecord(const char* body, size_t length, size_t i, UserRecord& out) {
    if (i >= userRecordCount(length)) return false;
    const char* r = body + i * USERLIST_RECORD_SIZE;
    out.connected = getInt32(r);
    getName(r + 4, out.name);
    getName(r + 24, out.group);
    return true;
}

bool parseMailRequest(const char* body, size_t length, MailRequest& out) {
    if (length < MAIL_ROUTING_HEADER_SIZE || length > MAX_MAIL_BODY) return false;
    out.sendType = getInt32(body);
    getName(body + 4, out.destUser);
    getName(body + 24, out.destGroup);
    out.payload = body + MAIL_ROUTING_HEADER_SIZE;
    out.payloadLength = length - MAIL_ROUTING_HEADER_SIZE;
    return true;
}

bool parseDelivery(const char* body, size_t length, Delivery& out) {
    if (length < DELIVERY_HEADER_SIZE || length > MAX_DELIVERY_BODY) return false;
    out.time = getInt32(body);
    out.kind = getInt32(body + 4);
    getName(body + 8, out.sender);
    out.token = getInt32(body + 28);
    out.text = body + DELIVERY_HEADER_SIZE;
    out.textLength = length - DELIVERY_HEADER_SIZE;
    return true;
}

}  // namespace tovi
