// Shared by the client tests: hand-built deliveries, a scripted fake server on 127.0.0.1, and one
// client's connection layer.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "client/connection/cc_rec_mess.h"
#include "client/connection/cc_rs_data.h"
#include "support/test_support.h"

namespace tovi::test {

// A fake server on 127.0.0.1. On each connection, for each reply in turn, it reads a frame, keeps
// it for got() and then writes the reply; then it holds the connection until the client closes it,
// save the first connection when hangUpFirst.
class FakeServer {
  public:
    explicit FakeServer(std::vector<std::string> replies, bool hangUpFirst = false) {
        m_listener.listen("127.0.0.1", 0, 5);
        m_thread = std::thread([this, replies = std::move(replies), hangUpFirst] {
            for (CTcpSocket peer; !m_stop.load(); peer.close(), sleepMs(2)) {
                if (!m_listener.accept(peer)) continue;
                const bool hangUp = m_accepted++ == 0 && hangUpFirst;
                bool talking = true;
                for (size_t i = 0; talking && i < replies.size(); ++i) {
                    std::string bytes = readFrame(peer);
                    {
                        // Recorded before the answer leaves: whoever has the answer finds it.
                        std::lock_guard<std::mutex> hold(m_lock);
                        m_frames.push_back(bytes);
                    }
                    talking = !bytes.empty() && writeBytes(peer, replies[i]);
                }
                // Then it drains what the client sends until the client closes the connection.
                char sink[4096];
                while (talking && !hangUp && peer.waitReadable(30000) > 0)
                    talking = peer.readSome(sink, sizeof sink) >= 0;
            }
        });
    }
    ~FakeServer() {
        m_stop.store(true);
        m_thread.join();
    }
    int port() const { return m_listener.localPort(); }
    int accepted() const { return m_accepted.load(); }
    // The i-th frame read, over all connections.
    std::string got(size_t i) {
        std::lock_guard<std::mutex> hold(m_lock);
        return i < m_frames.size() ? m_frames[i] : "";
    }

  private:
    CTcpSocket m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_lock;
    std::vector<std::string> m_frames;
    std::thread m_thread;
};

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
        sendParam = {nullptr, &storage.lock, &storage.mailSlots, &storage.sendStatus, "127.0.0.1",
                     port,    user,          "sales",        newRegistration};
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
