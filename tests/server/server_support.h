// Test support for the server: a raw protocol client that sends exact bytes and reads whole frames
// with a time-out, the real server in this process on a free port with its files in a fresh
// temporary directory (or the whole application), and readers of the server's files.
#pragma once

#include <functional>

#include "server/app/server_app.h"
#include "server/core/cc_rc_data.h"
#include "support/test_support.h"

namespace tovi::test {

inline std::string mailBody(int32_t sendType, const std::string& user, const std::string& group,
                            const std::string& sender, const std::string& text, int32_t token = 1) {
    return int32s({sendType}) + nameField(user) + nameField(group) + int32s({MAIL_MESSAGE}) +
           nameField(sender) + int32s({token}) + text;
}
// One record of the held-mail store: name, storing time, payload length, payload.
inline std::string heldRecord(const std::string& name, int32_t time, const std::string& payload) {
    return nameField(name) + int32s({time, static_cast<int32_t>(payload.size())}) + payload;
}
// A 63-byte record of TovisUser.dat: name, group, address.
inline std::string userRecord(const std::string& name, const std::string& group = "office") {
    std::string address = "127.0.0.1";
    address.resize(23, '\0');
    return nameField(name) + nameField(group) + address;
}
// A record of TovisBackMail.dat: the recipient, the storing time and a message from "sender".
inline std::string heldMessage(const std::string& name, int32_t storedTime,
                               const std::string& text) {
    return heldRecord(name, storedTime,
                      int32s({MAIL_MESSAGE}) + nameField("sender") + int32s({1}) + text);
}
// "name:text" of each whole record of a held-mail store (text: after the delivery header).
inline Names held(const std::string& storePath) {
    const std::string data = contents(storePath);
    Names out;
    for (size_t off = 0, length; off + 28 <= data.size(); off += 28 + length) {
        length = static_cast<size_t>(getInt32(data.data() + off + 24));
        if (length > data.size() - off - 28) break;  // a torn tail (or a negative length)
        out.push_back(std::string(data.substr(off, 20).c_str()) + ":" +
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
    std::string bytes() const { return frame(type, body); }
};

// An answer with the failed flag set and reason 0 (a refused rename).
constexpr int REFUSED = -100;

class CTestClient {
  public:
    bool connect(int port) { return m_socket.connect("127.0.0.1", uint16_t(port), 5000); }
    bool sendRaw(const std::string& b) { return m_socket.writeAll(b.data(), b.size(), 5000); }
    bool sendFrame(int32_t type, const std::string& b) { return sendRaw(frame(type, b)); }
    void close() { m_socket.close(); }
    // Ends the sending side only; answers can still be read.
    void halfClose() { m_socket.shutdownSend(); }

    // The next whole frame within timeoutMs; an empty one (type 0) on time-out or a close.
    Frame next(int timeoutMs = 5000) {
        const std::string f = readFrame(m_socket, timeoutMs);
        return f.empty() ? Frame{} : Frame{getInt32(f.data()), f.substr(8)};
    }
    // True when no byte arrives within ms (a close counts as something arriving).
    bool expectNothing(int ms) { return m_socket.waitReadable(ms) == 0; }
    // True when the server closes the connection within timeoutMs (bytes before are skipped).
    bool waitClosed(int timeoutMs) {
        char buf[65536];
        for (const int64_t end = monotonicMs() + timeoutMs; monotonicMs() < end;)
            if (m_socket.waitReadable(int(end - monotonicMs())) > 0 &&
                m_socket.readSome(buf, sizeof buf) < 0)
                return true;
        return false;
    }
    // Sends a packet and reads its answer of answerType: the reason when the failed flag agrees
    // with it (set for a reason other than 0), else REFUSED - reason; -1 when missing. Deliveries
    // that come first (the sender among the recipients) go to *own.
    int ask(int32_t type, const std::string& body, int32_t answerType, Frame* own = nullptr) {
        Frame f;
        if (!sendFrame(type, body)) return -1;
        while ((f = next()).type == PKT_MAIL && answerType == PKT_MAIL_RESULT)
            if (own) *own = f;
        if (f.type != answerType || f.body.size() != 8) return -1;
        return f.int32At(0) == (f.int32At(4) != 0) ? f.int32At(4) : REFUSED - f.int32At(4);
    }
    int login(const std::string& name) { return ask(PKT_LOGIN, nameField(name), PKT_LOGIN_RESULT); }
    // Registers, or renames for type PKT_RENAME (answered the same way).
    int registerUser(const std::string& name, const std::string& group,
                     int32_t type = PKT_REGISTER) {
        return ask(type, nameField(name) + nameField(group), PKT_REGISTER_RESULT);
    }
    int sendMail(const std::string& body, Frame* own = nullptr) {
        return ask(PKT_MAIL, body, PKT_MAIL_RESULT, own);
    }
    // The user list as "flag:name" strings.
    Names list(int32_t filter = 0, const std::string& group = "") {
        const bool sent = sendFrame(PKT_USERLIST_REQ, int32s({filter}) + nameField(group));
        const Frame f = next();
        if (!sent || f.type != PKT_USERLIST) return {"<no list>"};
        Names out;
        for (size_t off = 0; off + 44 <= f.body.size(); off += 44)
            out.push_back(std::to_string(f.int32At(off)) + ":" +
                          f.body.substr(off + 4, 20).c_str());
        return out;
    }

  private:
    CTcpSocket m_socket;
};

// Connects and logs in as name, registering it when the server does not know it.
inline bool enter(CTestClient& client, int port, const std::string& name) {
    if (!client.connect(port)) return false;
    const int reason = client.login(name);
    return reason == LOGIN_ACCEPTED ||
           (reason == LOGIN_UNKNOWN_NAME && client.registerUser(name, "office") == REGISTER_DONE);
}
// The flag of name in the server's list asked over a fresh connection: 1 or 0, -1 when not listed.
inline int connectedFlag(int port, const std::string& name) {
    CTestClient c;
    for (const std::string& entry : c.connect(port) && c.login("") >= 0 ? c.list() : Names{})
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
    // configure: what is set on the worker before it starts.
    bool start(int32_t holdLimit = 0, const std::function<void(CcRcData&)>& configure = {}) {
        worker = std::make_unique<CcRcData>(dir.path);
        if (configure) configure(*worker);
        if (!worker->start()) return false;
        if (holdLimit != 0) worker->postMessage(WM_SERVER_SET_HOLD_LIMIT, holdLimit);
        worker->postMessage(WM_SERVER_LISTEN, 0);
        return worker->waitListenResult(5000) == CcRcData::LISTEN_OK &&
               (port = worker->listeningPort()) > 0;
    }
    // A client logged in (registering when needed) under name and group; a failure is reported.
    std::unique_ptr<CTestClient> connectUser(const std::string& name, const std::string& group) {
        auto c = std::make_unique<CTestClient>();
        int reason = c->connect(port) ? c->login(name) : -1;
        if (reason == LOGIN_UNKNOWN_NAME) reason = c->registerUser(name, group);
        EXPECT_EQ(reason, 0) << name;
        return c;
    }
    std::string userFile() const { return dir.file("TovisUser.dat"); }
    std::string storeFile() const { return dir.file("TovisBackMail.dat"); }
    TempDir dir;
    std::unique_ptr<CcRcData> worker;
    int port = 0;
};

// The whole server (CServerApp) started in a fresh directory from Tovis.ini settings lines, users
// and held mail written by hand (for the tests that link the application layer).
class ServerAppTest : public ::testing::Test {
  protected:
    void TearDown() override {
        app.reset();
        CFileFaults::reset();
    }
    void startServer(const std::string& settings = "", const std::string& users = "",
                     const std::string& store = "") {
        ASSERT_TRUE(replaceFileAtomically(
            ini(), "[SERVER]\nPORT=" + std::to_string(freePort()) + "\n" + settings));
        ASSERT_TRUE(users.empty() || replaceFileAtomically(dir.file("TovisUser.dat"), users));
        ASSERT_TRUE(store.empty() || replaceFileAtomically(storeFile(), store));
        app = std::make_unique<CServerApp>(dir.path);
        ASSERT_EQ(app->start(), CServerApp::START_OK) << app->startError();
        port = app->listeningPort();
    }
    std::unique_ptr<CTestClient> enter(const std::string& name) {
        auto client = std::make_unique<CTestClient>();
        EXPECT_TRUE(test::enter(*client, port, name)) << name;
        return client;
    }
    std::string ini() const { return dir.file("Tovis.ini"); }
    std::string storeFile() const { return dir.file("TovisBackMail.dat"); }

    TempDir dir;
    std::unique_ptr<CServerApp> app;
    int port = 0;
};

}  // namespace tovi::test
