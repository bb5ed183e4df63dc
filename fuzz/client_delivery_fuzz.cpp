// Any delivery from the wire (PKT_MAIL body), handed to the real receive worker: a message is
// stored as one received-mail file that reads back with the sender and the text as delivered; a
// read notice or a delivery without its fixed fields stores nothing; all within bounds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/connection/cc_rec_mess.h"
#include "client/connection/mailbox_storage.h"
#include "client/connection/message_file.h"
#include "fuzz/fuzz_scratch.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "ui/scripted_message_boxes.h"

using namespace tovi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CScriptedMessageBoxes boxes;
    static CMailboxStorage storage;
    if (size > MAILBOX_MAX_BODY) return 0;
    boxes.clear();
    const std::string dir = fuzzScratchDirectory() + "mail/";
    makeDirectories(dir);
    for (const std::string& name : findFiles(dir, "*")) removeFile(dir + name);

    const std::string body(reinterpret_cast<const char*>(data), size);
    std::string packet(FRAME_HEADER_SIZE, '\0');
    putFrameHeader(packet.data(), PKT_MAIL, static_cast<int32_t>(size));
    packet += body;
    CPacketMailbox view;
    view.bind(&storage.lock, &storage.mailSlots, &storage.receiveStatus);
    view.clearSlots();
    if (view.putSlot(static_cast<unsigned>(packet.size()), packet.data(), SLOT_INBOUND) !=
        packet.size())
        abort();

    // Started and stopped at once: the stop still takes the delivery waiting in slot 0.
    WorkerStartParam param;
    param.lock = &storage.lock;
    param.mailSlots = &storage.mailSlots;
    param.status = &storage.receiveStatus;
    param.userName = "bob";
    param.mailDirectory = dir.c_str();
    CcRecMess worker;
    worker.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&param));
    worker.postMessage(WM_WORKER_STOP);
    if (!worker.start() || !worker.join(10000)) abort();
    if (view.peekSlot(nullptr, SLOT_INBOUND) != 0) abort();

    const bool message =
        size >= DELIVERY_HEADER_SIZE && getInt32(body.data() + 4) != MAIL_READ_NOTICE;
    const std::vector<std::string> stored = findFiles(dir, "_TovicR1*");
    if (stored.size() != (message ? 1u : 0u)) abort();
    if (message) {
        MailHead head;
        std::string text;
        if (!CMessageFile::read(dir + stored[0], head, &text)) abort();
        char sender[NAME_BUFFER_SIZE];
        getName(body.data() + 8, sender);
        if (text != body.substr(DELIVERY_HEADER_SIZE) || std::string(head.peer) != sender ||
            head.time != getInt32(body.data()) || head.token != getInt32(body.data() + 28))
            abort();
    }
    return 0;
}
