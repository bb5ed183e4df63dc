// Any user-list answer from the wire (from its length field on): only whole records within the
// bytes that arrived are taken, each name and group within its 20 bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/app/mail_sender.h"
#include "client/dialogs/user_directory.h"
#include "protocol/packets.h"

using namespace tovi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the bytes that arrived, so that a read past them is seen.
    std::string reply(reinterpret_cast<const char*>(data), size);
    CUserDirectory directory;
    CMailSender::parseUserList(reply.data(), static_cast<uint32_t>(reply.size()), directory);
    if (size >= 4 && getInt32(reply.data()) > 0) {
        const size_t records = (size - 4) / USERLIST_RECORD_SIZE;
        if (static_cast<size_t>(directory.count()) > records) abort();
    } else if (directory.count() != 0) {
        abort();
    }
    for (int i = 0; i < directory.count(); ++i)
        if (directory.name(i).size() > NAME_FIELD_SIZE ||
            directory.group(i).size() > NAME_FIELD_SIZE)
            abort();
    return 0;
}
