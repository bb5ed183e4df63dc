// Test support for the server: a raw protocol client that sends exact bytes and reads whole frames
// with a time-out, the real server in this process on a free port with its files in a fresh
// temporary directory, readers of the server's files, and the tovis program as a child process.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "server/core/cc_rc_data.h"

namespace tovi::test {

using Names = std::vector<std::string>;

inline std::string int32Bytes(int32_t v) {
    char b[4];
    putInt32(b, v);
    return std::string(b, 4);
}
inline std::string nameField(const std::string& name) {
    std::string f = name.substr(0, NAME_FIELD_SIZE);
    f.resize(NAME_FIELD_SIZE, '\0');
    return f;
}
inline std::string cName(const std::string& field) {
    return field.substr(0, strnlen(field.c_str(), field.size()));
}
inline std::string frameBytes(int32_t type, const std::string& body) {
    return int32Bytes(type) + int32Bytes(static_cast<int32_t>(body.size())) + body;
}
inline std::string result(int32_t type, int32_t reason) {
    return frameBytes(type, int32Bytes(reason != 0) + int32Bytes(reason));
}
inline std::string mailBody(int32_t sendType, const std::string& user, const std::string& group,
                            const std::string& sender, const std::string& text, int32_t token = 1) {
    return int32Bytes(sendType) + nameField(user) + nameField(group) + int32Bytes(MAIL_MESSAGE) +
           nameField(sender) + int32Bytes(token) + text;
}
// One record of the held-mail store: name, storing time, payload length, payload.
inline std::string heldRecord(const std::string& name, int32_t time, const std::string& payload) {
    return nameField(name) + int32Bytes(time) + frameBytes(0, payload).substr(4);
}
inline std::string contents(const std::string& path) {
    std::string data;
    readWholeFile(path, data);
    return data;
}
// "name:text" of each whole record of a held-mail store (text: after the delivery header).
inline Names held(const std::string& storePath) {
    const std::string data = contents(storePath);
    Names out;
    for (size_t off = 0, length; off + 28 <= data.size(); off += 28 + length) {
        length = static_cast<size_t>(getInt32(data.data() + off + 24));
        if (length > data.size() - off - 28) break;  // a torn tail (or a negative length)
        out.push_back(cName(data.substr(off, 20)) + ":" +
                      data.substr(off + 28, length).substr(std::min<size_t>(28, length)));
    }
    return out;
}

struct Frame {
    int32_t type = 0;
    std::string body;
    int32_t int32At(size_t off) const {
        return off + 4 <= body.size() ? getInt32(body.data() + off) : INT32_MIN;
    }
    // A delivery's text, after its 32-byte header.
    std::string text() const { return body.size() > 32 ? body.substr(32) : ""; }
    std::string bytes() const { return frameBytes(type, body); }
};

class CTestClient {
  public:
    int32_t failed = -1;  // of the last answer
    bool connect(int port) { return m_socket.connect("127.0.0.1", uint16_t(port), 5000); }
    bool sendRaw(const std::string& b) { return m_socket.writeAll(b.data(), b.size(), 5000); }
    bool sendFrame(int32_t type, const std::string& b) { return sendRaw(frameBytes(type, b)); }
    void close() { m_socket.close(); }
    // The next whole frame within timeoutMs; an empty one (type 0) on time-out or a close.
    Frame next(int timeoutMs = 5000) {
        const int64_t deadline = monotonicMs() + timeoutMs;
        size_t end = 0;
        while (m_pending.size() < 8 ||
               m_pending.size() < (end = 8 + size_t(getInt32(m_pending.data() + 4))))
            if (fill(deadline) <= 0) return {};
        Frame f{getInt32(m_pending.data()), m_pending.substr(8, end - 8)};
        m_pending.erase(0, end);
        return f;
    }
    // True when no byte arrives within ms (a close counts as something arriving).
    bool expectNothing(int ms) { return m_pending.empty() && m_socket.waitReadable(ms) == 0; }
    // True when the server closes the connection within timeoutMs (bytes before are skipped).
    bool waitClosed(int timeoutMs) {
        const int64_t deadline = monotonicMs() + timeoutMs;
        for (int r; (r = fill(deadline)) != 0; m_pending.clear())
            if (r < 0) return true;
        return false;
    }
    // Sends a packet and reads its answer of answerType: the reason, -1 when missing (failed: the
    // answer's flag); deliveries that come first (the sender among the recipients) go to *own.
    int ask(int32_t type, const std::string& body, int32_t answerType, Frame* own = nullptr) {
        Frame f;
        if (!sendFrame(type, body)) return -1;
        while ((f = next()).type == PKT_MAIL && answerType == PKT_MAIL_RESULT)
            if (own) *own = f;
        failed = f.int32At(0);
        return f.type == answerType && f.body.size() == 8 ? f.int32At(4) : -1;
    }
    int login(const std::string& name) { return ask(PKT_LOGIN, nameField(name), PKT_LOGIN_RESULT); }
    int registerUser(const std::string& name, const std::string& group) {
        return ask(PKT_REGISTER, nameField(name) + nameField(group), PKT_REGISTER_RESULT);
    }
    int rename(const std::string& name, const std::string& group) {
        return ask(PKT_RENAME, nameField(name) + nameField(group), PKT_REGISTER_RESULT);
    }
    int sendMail(const std::string& body, Frame* own = nullptr) {
        return ask(PKT_MAIL, body, PKT_MAIL_RESULT, own);
    }
    // The user list as "flag:name" strings.
    Names list(int32_t filter = 0, const std::string& group = "") {
        const bool sent = sendFrame(PKT_USERLIST_REQ, int32Bytes(filter) + nameField(group));
        const Frame f = next();
        if (!sent || f.type != PKT_USERLIST) return {"<no list>"};
        Names out;
        for (size_t off = 0; off + 44 <= f.body.size(); off += 44)
            out.push_back(std::to_string(f.int32At(off)) + ":" + cName(f.body.substr(off + 4, 20)));
        return out;
    }

  private:
    // 1: bytes came, 0: time-out, -1: closed.
    int fill(int64_t deadline) {
        const int64_t left = deadline - monotonicMs();
        if (left <= 0 || m_socket.waitReadable(static_cast<int>(left)) <= 0) return 0;
        char buf[65536];
        const long r = m_socket.readSome(buf, sizeof buf);
        if (r > 0) m_pending.append(buf, static_cast<size_t>(r));
        return r == CTcpSocket::READ_END_OF_STREAM || r == CTcpSocket::READ_ERROR ? -1 : 1;
    }
    CTcpSocket m_socket;
    std::string m_pending;  // bytes received beyond the last frame
};

// A fresh directory under the system's temporary directory, removed with the object.
struct CTempDir {
    std::string path = std::filesystem::temp_directory_path() / "tovi-server-test-XXXXXX";
    CTempDir() { EXPECT_TRUE(::mkdtemp(path.data())); }
    ~CTempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// Polls cond every 10 ms until it holds, for at most timeoutMs.
template <class F>
bool eventually(F cond, int timeoutMs = 3000) {
    for (const int64_t end = monotonicMs() + timeoutMs; !cond(); sleepMs(10))
        if (monotonicMs() > end) return false;
    return true;
}
// The server's user list, asked over a fresh connection.
inline Names listUsers(int port) {
    CTestClient c;
    return c.connect(port) && c.login("") >= 0 ? c.list() : Names{"<no list>"};
}
// The flag of name in the server's list (1 or 0), -1 when not listed.
inline int connectedFlag(int port, const std::string& name) {
    for (const std::string& entry : listUsers(port))
        if (entry.substr(2) == name) return entry[0] - '0';
    return -1;
}
inline bool waitOffline(int port, const std::string& name) {
    return eventually([&] { return connectedFlag(port, name) == 0; });
}
// Registers name over a fresh connection and closes it: the user exists and is offline.
inline bool registerOffline(int port, const std::string& name, const std::string& group) {
    CTestClient c;
    if (!c.connect(port) || c.login(name) != 2 || c.registerUser(name, group) != 0) return false;
    c.close();
    return waitOffline(port, name);
}

// A test with the real server started in this process on a free port of 127.0.0.1, its files in
// a fresh directory.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(start()); }
    void TearDown() override {
        CFileFaults::reset();
        setClockOffsetForTests(0);
    }
    bool start(int32_t holdLimit = 0) {
        worker = std::make_unique<CcRcData>(dir.path);
        if (!worker->start()) return false;
        if (holdLimit != 0) worker->postMessage(WM_SERVER_SET_HOLD_LIMIT, holdLimit);
        worker->postMessage(WM_SERVER_LISTEN, 0);
        return worker->waitListenResult(5000) == CcRcData::LISTEN_OK &&
               (port = worker->listeningPort()) > 0;
    }
    // A client logged in (registering when needed) under name and group.
    std::unique_ptr<CTestClient> connectUser(const std::string& name, const std::string& group) {
        auto c = std::make_unique<CTestClient>();
        if (!c->connect(port)) return nullptr;
        int reason = c->login(name);
        if (reason == LOGIN_UNKNOWN_NAME) reason = c->registerUser(name, group);
        return reason == 0 ? std::move(c) : nullptr;
    }
    std::string userFile() const { return dir.file("TovisUser.dat"); }
    std::string storeFile() const { return dir.file("TovisBackMail.dat"); }
    CTempDir dir;
    std::unique_ptr<CcRcData> worker;
    int port = 0;
};

// The tovis program (TOVI_BIN_DIR/tovis) as a child with stderr captured.
struct ServerProcess {
    pid_t pid = -1;
    std::string stderrPath;
    bool start(const std::string& configDir) {
        const char* binDir = std::getenv("TOVI_BIN_DIR");
        const std::string program = std::string(binDir ? binDir : "bin") + "/tovis";
        stderrPath = configDir + "/tovis.stderr";
        if ((pid = ::fork()) == 0) {
            ::dup2(::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            ::execl(program.c_str(), "tovis", "--headless", "--config-dir", configDir.c_str(),
                    nullptr);
            ::_exit(127);
        }
        return pid > 0;
    }
    // Waits at most timeoutMs: the exit code, -1 while it runs, -2 when killed by a signal.
    int wait(int timeoutMs) {
        for (const int64_t deadline = monotonicMs() + timeoutMs;; sleepMs(10)) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return pid = -1, WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            if (monotonicMs() >= deadline) return -1;
        }
    }
    ~ServerProcess() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
};
// A TCP port nobody listens on right now.
inline int freePort() {
    CTcpSocket probe;
    return probe.listen("127.0.0.1", 0, 1) ? probe.localPort() : -1;
}
// Until the server on port answers a log-in, at most timeoutMs.
inline bool waitServerUp(int port, int timeoutMs) {
    return eventually([&] { return listUsers(port) != Names{"<no list>"}; }, timeoutMs);
}

}  // namespace tovi::test
