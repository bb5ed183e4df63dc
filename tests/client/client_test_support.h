// Shared by the client tests: a temporary directory, cp932 text, waiting with a limit, hand-built
// frames, a scripted fake server on 127.0.0.1, and one client's connection layer.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/connection/cc_rec_mess.h"
#include "client/connection/cc_rs_data.h"
#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/file.h"
#include "platform/tcp_socket.h"

namespace tovi {

struct TempDir {
    std::string path;  // with the trailing '/'
    TempDir() {
        char pattern[] = "/tmp/tovi_client_XXXXXX";
        path = std::string(::mkdtemp(pattern)) + "/";
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

inline std::string cp932(const char* utf8) {
    std::string out;
    utf8ToCp932(utf8, out);
    return out;
}

// The whole file, or "<unreadable>".
inline std::string fileText(const std::string& path) {
    std::string text;
    return readWholeFile(path, text) ? text : "<unreadable>";
}

inline bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    for (const int64_t until = monotonicMs() + timeoutMs; !pred(); sleepMs(5))
        if (monotonicMs() >= until) return false;
    return true;
}

inline std::string int32s(std::initializer_list<int32_t> values) {
    std::string bytes(4 * values.size(), '\0');
    for (size_t i = 0; i < values.size(); ++i) putInt32(bytes.data() + 4 * i, values.begin()[i]);
    return bytes;
}

inline std::string frame(int32_t type, const std::string& body) {
    return int32s({type, static_cast<int32_t>(body.size())}) + body;
}

// A name field: the name and zero bytes up to 20.
inline std::string name20(const std::string& name) {
    return name + std::string(20 - name.size(), '\0');
}

// A PKT_MAIL delivery frame: time, kind, sender, token, then the text.
inline std::string delivery(int32_t time, int32_t kind, const char* sender, int32_t token,
                            const std::string& text) {
    return frame(PKT_MAIL, int32s({time, kind}) + name20(sender) + int32s({token}) + text);
}

// Reads one whole frame within timeoutMs; empty on time-out, end of stream or error.
inline std::string readFrame(CTcpSocket& peer, int timeoutMs = 5000) {
    const int64_t until = monotonicMs() + timeoutMs;
    std::string bytes(8, '\0');
    for (size_t got = 0; got < bytes.size();) {
        int left = static_cast<int>(std::max<int64_t>(until - monotonicMs(), 0));
        long r = peer.waitReadable(left) > 0 ? peer.readSome(&bytes[got], bytes.size() - got) : -1;
        if (r < 0) return "";
        if ((got += static_cast<size_t>(r)) != 8) continue;
        const int32_t length = getInt32(&bytes[4]);
        if (length < 0 || length > 1 << 20) return "";
        bytes.resize(8 + static_cast<size_t>(length));
    }
    return bytes;
}

inline bool writeBytes(CTcpSocket& peer, const std::string& bytes) {
    return peer.writeAll(bytes.data(), bytes.size(), 5000);
}

// A port on 127.0.0.1 where nothing listens (it was free a moment ago).
inline int closedPort() {
    CTcpSocket probe;
    return probe.listen("127.0.0.1", 0, 1) ? probe.localPort() : 1;
}

// A fake server on 127.0.0.1. On each connection, for each reply in turn, it reads a frame (kept
// for got()) and writes the reply; then it holds the connection until the client closes it, save
// the first connection when hangUpFirst.
class FakeServer {
  public:
    explicit FakeServer(std::vector<std::string> replies, bool hangUpFirst = false)
        : m_replies(std::move(replies)) {
        m_listener.listen("127.0.0.1", 0, 5);
        m_thread = std::thread([this, hangUpFirst] {
            for (CTcpSocket peer; !m_stop.load(); peer.close(), sleepMs(2)) {
                if (!m_listener.accept(peer)) continue;
                const bool hangUp = m_accepted++ == 0 && hangUpFirst;
                bool talking = true;
                for (size_t i = 0; talking && i < m_replies.size(); ++i) {
                    std::string bytes = readFrame(peer);
                    talking = !bytes.empty() && writeBytes(peer, m_replies[i]);
                    std::lock_guard<std::mutex> hold(m_lock);
                    m_frames.push_back(bytes);
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
    const std::vector<std::string> m_replies;
    CTcpSocket m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_lock;
    std::vector<std::string> m_frames;
    std::thread m_thread;
};

// One client as its main window runs it: the storage, the one socket, both workers (started by
// the test), the main window's views of the two status pairs and a mail directory. It resets the
// workers' process-wide state.
struct ClientStack {
    TempDir root;
    std::string dir = root.path + "mail/";
    CMailboxStorage storage;
    CPacketMailbox sendView, receiveView;
    CBsClientSocket connection{SocketRole::CLIENT};
    WorkerStartParam sendParam, receiveParam;
    CcRsData sender;
    CcRecMess receiver;

    explicit ClientStack(int port, const char* user = "alice", int newRegistration = 0,
                         bool makeDir = true) {
        CcRsData::resetProcessStateForTests();
        CcRecMess::resetProcessStateForTests();
        if (makeDir) makeDirectories(dir);
        sendView.bind(&storage.lock, &storage.slots, &storage.sendStatus);
        receiveView.bind(&storage.lock, &storage.slots, &storage.receiveStatus);
        sendParam = {&connection, &storage.lock, &storage.slots, &storage.sendStatus, "127.0.0.1",
                     port,        user,          "sales",        newRegistration};
        receiveParam = {
            nullptr, &storage.lock, &storage.slots, &storage.receiveStatus, "", 0, user, "",
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

}  // namespace tovi
