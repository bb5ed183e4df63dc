// ClientStack: both connection workers of one client, bound to one mailbox and started as the
// main window starts them, for the client benchmarks. Header only: every .cpp file of bench/ is
// a program of its own.
#pragma once

#include <memory>
#include <string>

#include "bench/bench_common.h"
#include "client/connection/cc_rec_mess.h"
#include "client/connection/cc_rs_data.h"
#include "client/connection/message_file.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace tovi {

// Received-mail files in dir (the flag file not counted).
inline size_t receivedMails(const std::string& dir) {
    size_t n = 0;
    for (const std::string& name : findFiles(dir, CMessageFile::RECEIVED_PATTERN))
        if (name != CMessageFile::RECEIVED_FLAG) ++n;
    return n;
}

// Both workers of one client, as the main window runs them.
struct ClientStack {
    std::unique_ptr<CMailboxStorage> storage = std::make_unique<CMailboxStorage>();
    CPacketMailbox sendView, receiveView;
    CBsClientSocket connection{SocketRole::CLIENT};
    WorkerStartParam sendParam, receiveParam;
    std::unique_ptr<CcRsData> sender = std::make_unique<CcRsData>();
    std::unique_ptr<CcRecMess> receiver = std::make_unique<CcRecMess>();
    std::string dir;

    ClientStack(int port, const std::string& mailDir, const char* userName, int newRegistration)
        : dir(mailDir) {
        makeDirectories(dir);
        sendView.bind(&storage->lock, &storage->mailSlots, &storage->sendStatus);
        receiveView.bind(&storage->lock, &storage->mailSlots, &storage->receiveStatus);
        sendParam.connection = &connection;
        sendParam.lock = receiveParam.lock = &storage->lock;
        sendParam.mailSlots = receiveParam.mailSlots = &storage->mailSlots;
        sendParam.status = &storage->sendStatus;
        receiveParam.status = &storage->receiveStatus;
        sendParam.serverAddress = "127.0.0.1";
        sendParam.port = port;
        sendParam.userName = receiveParam.userName = userName;
        sendParam.groupName = "bench";
        sendParam.newRegistration = newRegistration;
        receiveParam.mailDirectory = dir.c_str();
        sender->postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&sendParam));
        receiver->postMessage(WM_WORKER_START, reinterpret_cast<intptr_t>(&receiveParam));
        sender->start();
        receiver->start();
    }
    ~ClientStack() {
        sender->postMessage(WM_WORKER_STOP);
        receiver->postMessage(WM_WORKER_STOP);
        sender->join(5000);
        receiver->join(5000);
    }
    bool loggedIn(int timeoutMs) {
        for (int i = 0; i < timeoutMs / 10 && sender->logIns() == 0; ++i) sleepMs(10);
        return sender->logIns() > 0 && sendView.getStatus() == ST_CONNECTED;
    }
    // Microseconds from t0 until count mails are on disk; -1 after timeoutMs.
    double waitForMails(size_t count, int64_t t0, int timeoutMs) {
        const int64_t until = monotonicMs() + timeoutMs;
        while (receivedMails(dir) < count) {
            if (monotonicMs() > until) return -1;
            sleepMs(1);
        }
        return double(benchMicros() - t0);
    }
};

}  // namespace tovi
