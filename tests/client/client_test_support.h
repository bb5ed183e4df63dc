// Shared by the client tests: hand-built deliveries and one client's connection layer (the scripted
// server is shared support).
#pragma once

#include "client/connection/cc_rec_mess.h"
#include "client/connection/cc_rs_data.h"
#include "support/scripted_server.h"
#include "support/test_support.h"

namespace tovi::test {

// One client as its main window runs it: the storage, both workers (started by the test, the send
// worker with no connection object of the caller's), the main window's views of the two status
// pairs and a mail directory. It resets the workers' process-wide state.
struct ClientStack {
    TempDir root;
    std::string dir = root.path + "mail/";
    CMailboxStorage storage;
    CPacketMailbox sendView, receiveView;
    WorkerStartParam sendParam, receiveParam;
    CcRsData sender;
    CcRecMess receiver;

    explicit ClientStack(int port, const char* user = "alice", int newRegistration = 0,
                         bool makeDir = true) {
        CcRsData::resetProcessStateForTests();
        CcRecMess::resetProcessStateForTests();
        if (makeDir) makeDirectories(dir);
        sendView.bind(&storage.lock, &storage.mailSlots, &storage.sendStatus);
        receiveView.bind(&storage.lock, &storage.mailSlots, &storage.receiveStatus);
        sendParam = {
            nullptr, &storage.lock, &storage.mailSlots, &storage.sendStatus, "127.0.0.1", port,
            user,    "sales",       newRegistration};
        receiveParam = {
            nullptr, &storage.lock, &storage.mailSlots, &storage.receiveStatus, "", 0, user, "",
            0,       dir.c_str()};
    }
    bool startSend() {
        return sender.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&sendParam)) &&
               sender.start();
    }
    bool startReceive() {
        return receiver.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&receiveParam)) &&
               receiver.start();
    }
    bool put(int index, const std::string& bytes) {
        return sendView.putSlot(static_cast<unsigned>(bytes.size()), bytes.data(), index) ==
               bytes.size();
    }
    std::string slot(int index) const {
        std::string bytes(MAILBOX_SLOT_BYTES, '\0');
        bytes.resize(sendView.peekSlot(bytes.data(), index));
        return bytes;
    }
    // The received-mail files; "_TovicR*" also matches the flag "_TovicRecvUp".
    std::vector<std::string> received() const {
        std::vector<std::string> mails = findFiles(dir, CMessageFile::RECEIVED_PATTERN);
        mails.erase(std::remove(mails.begin(), mails.end(), CMessageFile::RECEIVED_FLAG),
                    mails.end());
        return mails;
    }
};

}  // namespace tovi::test
