// Any mail file in the mail directory (other programs and other clients write there): the inbox
// and the sent box list it or report it with the faulty-file message (a file shorter than its
// head, another user's or the other box's is passed over), and the view loads it or refuses it,
// all within bounds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/app/mailbox_list.h"
#include "client/dialogs/mail_view_text.h"
#include "fuzz/fuzz_scratch.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "ui/scripted_message_boxes.h"

using namespace tovi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CScriptedMessageBoxes boxes;
    const std::string& dir = fuzzScratchDirectory();
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (const std::string& name : findFiles(dir, "*")) removeFile(dir + name);
    const int box = size > 24 ? static_cast<unsigned char>(input[24]) & 1 : INBOX;
    const std::string name = box == INBOX ? "_TovicR17000000010" : "_TovicS1700000001";
    if (!replaceFileAtomically(dir + name, input)) return 0;
    char owner[NAME_BUFFER_SIZE] = {};
    if (size >= NAME_FIELD_SIZE) getName(input.data(), owner);

    boxes.clear();
    const std::vector<MailRow> rows = CMailboxList::load(dir, owner, box);
    const bool listed = size >= 52 && getInt32(input.data() + 24) == box;
    const size_t reported = boxes.texts().size();
    if (rows.size() + reported != (listed ? 1u : 0u)) abort();
    for (const MailRow& row : rows)
        if (row.fileName != name || row.peer.size() > NAME_FIELD_SIZE * 4) abort();

    std::string title, body;
    if (CMailViewText::load(dir + name, box, title, body)) {
        if (title.size() > CMailViewText::TITLE_LIMIT || body.size() > size) abort();
    }
    return 0;
}
