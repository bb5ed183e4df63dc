// ClientStack: one client's connection layer as its main window runs it, for the client tests and
// the client benchmarks alike: the mailbox storage, the main window's views of the two status
// pairs, both workers with their start blocks, and a mail directory. No test framework in here:
// bench/ includes it too.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "client/connection/cc_rec_mess.h"
#include "client/connection/cc_rs_data.h"
#include "client/connection/message_file.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace tovi::test {

struct ClientStack {
    std::string dir;  // the receive worker's mail directory, ending in '/'
    CMailboxStorage storage;
    CPacketMailbox sendView, receiveView;
    WorkerStartParam sendParam, receiveParam;
    CcRsData sender;
    CcRecMess receiver;

    // The workers wait for startSend and startReceive; the send worker connects to port on
    // 127.0.0.1 as user of group.
    ClientStack(int port, std::string mailDir, const char* user, int newRegistration,
                const char* group, bool makeDir = true)
        : dir(std::move(mailDir)) {
        if (makeDir) makeDirectories(dir);
        sendView.bind(&storage.lock, &storage.mailSlots, &storage.sendStatus);
        receiveView.bind(&storage.lock, &storage.mailSlots, &storage.receiveStatus);
        sendParam = {
            &storage.lock, &storage.mailSlots, &storage.sendStatus, "127.0.0.1", port, user,
            group,         newRegistration};
        receiveParam = {
            &storage.lock, &storage.mailSlots, &storage.receiveStatus, "", 0, user, "", 0,
            dir.c_str()};
    }
    bool startSend() {
        return sender.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&sendParam)) &&
               sender.start();
    }
    bool startReceive() {
        return receiver.postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&receiveParam)) &&
               receiver.start();
    }
    bool start() { return startSend() && startReceive(); }
    // Both workers told to stop in order, as the main window does at its end, and waited for:
    // the receive worker stores what the send worker still read at its stop.
    void stop() {
        sender.postMessage(WM_WORKER_STOP);
        sender.join(5000);
        receiver.postMessage(WM_WORKER_STOP);
        receiver.join(5000);
    }
    // Until the send worker has logged in and says so, at most timeoutMs.
    bool loggedIn(int timeoutMs) {
        for (int i = 0; i < timeoutMs / 10 && sender.logIns() == 0; ++i) sleepMs(10);
        return sender.logIns() > 0 && sendView.getStatus() == ST_CONNECTED;
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
