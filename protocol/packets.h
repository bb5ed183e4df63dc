// Everything that crosses the connection between a client and the server.
//
// Frame (both directions):          int32 type | int32 length | length bytes of body
// All integers are 32-bit two's complement, little-endian. A name field is 20 bytes of cp932,
// NUL-padded, with no terminator when the name is exactly 20 bytes long.
//
// Bodies:
//   PKT_LOGIN            1  c->s  20   name
//   PKT_LOGIN_RESULT    48  s->c   8   failed | reason
//   PKT_REGISTER        32  c->s  40   name | group
//   PKT_RENAME          33  c->s  40   new name | new group
//   PKT_REGISTER_RESULT 54  s->c   8   failed | reason          (answers 32 and 33)
//   PKT_MAIL            16  c->s  72 + text (at most 19800)
//        0 send type | 4 destination user | 24 destination group | 44 mail kind |
//       48 sender | 68 notice token | 72 text
//   PKT_MAIL            16  s->c  4 + (client length - 44)
//        0 receive time | 4 mail kind | 8 sender | 28 notice token | 32 text
//   PKT_MAIL_RESULT     51  s->c   8   failed | reason
//   PKT_USERLIST_REQ    34  c->s  24   filter | group
//   PKT_USERLIST        35  s->c  44 x n   records: connected | name | group
//
// Builders write into caller buffers and return the body length (0 when it would not fit);
// parsers check every bound and return false for a body that is too short or too long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tovi {

// Packet types.
constexpr int32_t PKT_LOGIN = 1;
constexpr int32_t PKT_MAIL = 16;
constexpr int32_t PKT_REGISTER = 32;
constexpr int32_t PKT_RENAME = 33;
constexpr int32_t PKT_USERLIST_REQ = 34;
constexpr int32_t PKT_USERLIST = 35;
constexpr int32_t PKT_LOGIN_RESULT = 48;
constexpr int32_t PKT_MAIL_RESULT = 51;
constexpr int32_t PKT_REGISTER_RESULT = 54;
constexpr int32_t PKT_TYPE_MIN = 1;
constexpr int32_t PKT_TYPE_MAX = 64;

// Send types (wire, destination dialog and routing use the same numbers).
constexpr int32_t SEND_TO_USER = 1;
constexpr int32_t SEND_TO_GROUP = 2;
constexpr int32_t SEND_TO_GROUP_CONNECTED = 3;
constexpr int32_t SEND_TO_ALL = 4;
constexpr int32_t SEND_TO_ALL_CONNECTED = 5;

// Mail kinds.
constexpr int32_t MAIL_MESSAGE = 0;
constexpr int32_t MAIL_READ_NOTICE = 1;

// The notice token of a mail that wants no read notice.
constexpr int32_t NOTICE_TOKEN_NONE = 1;

// PKT_USERLIST_REQ filter: members of the named group only; any other value lists everybody.
constexpr int32_t USERLIST_FILTER_GROUP = 1;
constexpr int32_t USERLIST_FILTER_ALL = 0;

// Result reasons.
constexpr int32_t LOGIN_ACCEPTED = 0;
constexpr int32_t LOGIN_ALREADY_CONNECTED = 1;
constexpr int32_t LOGIN_UNKNOWN_NAME = 2;
constexpr int32_t LOGIN_BAD_HANDSHAKE = 3;
constexpr int32_t REGISTER_DONE = 0;
constexpr int32_t REGISTER_NAME_TAKEN = 1;
constexpr int32_t REGISTER_TABLE_FULL = 2;
constexpr int32_t REGISTER_SAVE_FAILED = 3;
constexpr int32_t REGISTER_NO_ADDRESS = 4;
constexpr int32_t MAIL_DONE = 0;
constexpr int32_t MAIL_UNKNOWN_USER = 1;  // also: the mail is too long or has no whole header
constexpr int32_t MAIL_HOLD_FAILED = 2;

// Client worker status codes.
constexpr int ST_CONNECTED = 0;
constexpr int ST_STOPPED = 1;
constexpr int ST_CONNECTING = 3;
constexpr int ST_NAME_TAKEN = 10;
constexpr int ST_SEND_FAILED = 20;
constexpr int ST_RECV_FAILED = 21;
constexpr int ST_CONNECT_FAILED = 22;
constexpr int ST_ALREADY_CONNECTED = 23;
constexpr int ST_REGISTER_FAILED = 24;
constexpr int ST_TIMEOUT = 25;
constexpr int ST_PROTOCOL_ERROR = 30;

// Sizes.
constexpr size_t NAME_FIELD_SIZE = 20;
constexpr size_t NAME_BUFFER_SIZE = 21;  // a name held in memory with its NUL
constexpr size_t FRAME_HEADER_SIZE = 8;
constexpr size_t RESULT_BODY_SIZE = 8;
constexpr size_t LOGIN_BODY_SIZE = 20;
constexpr size_t REGISTER_BODY_SIZE = 40;
constexpr size_t USERLIST_REQ_BODY_SIZE = 24;
constexpr size_t USERLIST_RECORD_SIZE = 44;
constexpr size_t MAX_USERS = 200;
constexpr size_t MAIL_ROUTING_HEADER_SIZE = 44;  // send type, user, group
constexpr size_t MAIL_HEADER_SIZE = 72;          // ... kind, sender, token
constexpr size_t MAX_MAIL_BODY = 19800;
constexpr size_t MAX_PAYLOAD = MAX_MAIL_BODY - MAIL_ROUTING_HEADER_SIZE;  // 19756
constexpr size_t DELIVERY_HEADER_SIZE = 32;            // time, kind, sender, token
constexpr size_t MAX_DELIVERY_BODY = 4 + MAX_PAYLOAD;  // 19760
constexpr size_t PACKET_BUFFER_SIZE = 20000;

// Little-endian integers, field by field.
inline void putInt32(char* p, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<char>(u & 0xff);
    p[1] = static_cast<char>((u >> 8) & 0xff);
    p[2] = static_cast<char>((u >> 16) & 0xff);
    p[3] = static_cast<char>((u >> 24) & 0xff);
}
inline int32_t getInt32(const char* p) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<int32_t>(uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) |
                                (uint32_t(b[3]) << 24));
}

// Writes name (NUL-terminated, at most size bytes taken) as a size-byte NUL-padded field.
void putName(char* field, const char* name, size_t size = NAME_FIELD_SIZE);
// Copies a size-byte field into out (size + 1 bytes) and terminates it.
void getName(const char* field, char* out, size_t size = NAME_FIELD_SIZE);
// Byte-for-byte, case-sensitive comparison of two NUL-terminated names.
inline bool sameName(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

// Writes the 8-byte frame header; returns 8.
size_t putFrameHeader(char* dst, int32_t type, int32_t length);

// Builders: body into dst; return the body length.
size_t buildLogin(char* dst, const char* name);
size_t buildRegister(char* dst, const char* name, const char* group);  // also PKT_RENAME
size_t buildResult(char* dst, int32_t failed, int32_t reason);
size_t buildUserListReq(char* dst, int32_t filter, const char* group);
size_t buildUserRecord(char* dst, int32_t connected, const char* name, const char* group);
// A client's PKT_MAIL; 0 when 72 + textLength would exceed MAX_MAIL_BODY (dst needs room for it).
size_t buildMail(char* dst, int32_t sendType, const char* destUser, const char* destGroup,
                 int32_t kind, const char* sender, int32_t token, const char* text,
                 size_t textLength);
// The read notice for a mail from originalSender with its token, sent by reader.
size_t buildReadNotice(char* dst, const char* originalSender, const char* reader, int32_t token);
// A delivery: the time, then the payload (bytes 44 and on of the client's PKT_MAIL).
size_t buildDelivery(char* dst, int32_t time, const char* payload, size_t payloadLength);

// Parsed bodies. Name fields carry their NUL; pointers point into the parsed body.
struct ResultBody {
    int32_t failed = 0;
    int32_t reason = 0;
};
struct NamePair {  // PKT_REGISTER and PKT_RENAME
    char name[NAME_BUFFER_SIZE] = {};
    char group[NAME_BUFFER_SIZE] = {};
};
struct UserListRequest {
    int32_t filter = 0;
    char group[NAME_BUFFER_SIZE] = {};
};
struct UserRecord {
    int32_t connected = 0;
    char name[NAME_BUFFER_SIZE] = {};
    char group[NAME_BUFFER_SIZE] = {};
};
struct MailRequest {  // PKT_MAIL from a client, as the server routes it
    int32_t sendType = 0;
    char destUser[NAME_BUFFER_SIZE] = {};
    char destGroup[NAME_BUFFER_SIZE] = {};
    const char* payload = nullptr;  // body + 44
    size_t payloadLength = 0;
};
struct Delivery {  // PKT_MAIL from the server
    int32_t time = 0;
    int32_t kind = 0;
    char sender[NAME_BUFFER_SIZE] = {};
    int32_t token = 0;
    const char* text = nullptr;
    size_t textLength = 0;
};

bool parseResult(const char* body, size_t length, ResultBody& out);
bool parseNamePair(const char* body, size_t length, NamePair& out);
bool parseUserListRequest(const char* body, size_t length, UserListRequest& out);
// Record i of a PKT_USERLIST body; false when the body has no record i.
bool parseUserRecord(const char* body, size_t length, size_t i, UserRecord& out);
inline size_t userRecordCount(size_t length) { return length / USERLIST_RECORD_SIZE; }
// False for a body shorter than 44 or longer than MAX_MAIL_BODY.
bool parseMailRequest(const char* body, size_t length, MailRequest& out);
// False for a body shorter than 32 or longer than MAX_DELIVERY_BODY.
bool parseDelivery(const char* body, size_t length, Delivery& out);

}  // namespace tovi
