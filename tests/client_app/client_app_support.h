// Shared by the client application tests: a settings file in a temporary directory, a host that
// records what the connection control asks of the window, and a scripted server on 127.0.0.1.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "client/app/connection_control.h"
#include "client/connection/mailbox_storage.h"
#include "client/connection/packet_mailbox.h"
#include "client/dialogs/client_settings.h"
#include "support/test_support.h"

namespace tovi::test {

// A client's configuration: Tovic.ini with address, port, name, group and a mail directory.
struct ClientConfig {
    TempDir root;
    std::string mailDir = root.path + "mail/";
    CClientSettings settings;
    explicit ClientConfig(int port, const char* name = "alice", const char* group = "sales",
                          const char* address = "127.0.0.1") {
        makeDirectories(mailDir);
        settings.load(root.path + "Tovic.ini");
        settings.setPort(port);
        settings.setIdentity(name, group, address);
        settings.setUserOptions(mailDir, 0, 0, 0, 0);
    }
};

// Records every request of the connection control and answers from its settings.
struct FakeHost : CConnectionHost {
    int exits = 0;
    std::vector<int> waits;            // modes
    std::vector<int> registerDialogs;  // first-run flags
    std::vector<int32_t> replies;      // types handed over
    int reloads = 0, flagChecks = 0;
    bool waitResult = true, replyResult = true;
    // What the registration dialog does; returns whether something was stored.
    std::function<bool(int)> registerDialog = [](int) { return false; };
    bool changed = false;
    CConnectionControl* control = nullptr;

    void confirmExit() override {
        ++exits;
        if (control != nullptr) control->markClosing();
    }
    bool runWaitDialog(CPacketMailbox&, int mode) override {
        waits.push_back(mode);
        return waitResult;
    }
    bool runRegisterDialog(int firstRun) override {
        registerDialogs.push_back(firstRun);
        return registerDialog(firstRun);
    }
    bool registrationChanged() const override { return changed; }
    bool onUserList(const char*, uint32_t) override {
        replies.push_back(PKT_USERLIST);
        return replyResult;
    }
    bool onMailResult(const char*, uint32_t) override {
        replies.push_back(PKT_MAIL_RESULT);
        return replyResult;
    }
    void reloadLists() override { ++reloads; }
    void checkFlagFiles() override { ++flagChecks; }
    void pause(int) override {}
};

// A server on 127.0.0.1 that answers each frame it reads with answer(frame) (nothing for an
// empty answer) and records the frames; closeAtOnce: every connection is closed when accepted.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::function<std::string(const std::string&)> answer,
                            bool closeAtOnce = false) {
        m_listener.listen("127.0.0.1", 0, 5);
        m_thread = std::thread([this, answer, closeAtOnce] {
            while (!m_stop.load()) {
                CTcpSocket peer;
                if (m_listener.waitReadable(50) <= 0 || !m_listener.accept(peer)) continue;
                ++m_accepted;
                if (closeAtOnce) continue;
                while (!m_stop.load()) {
                    if (peer.waitReadable(50) <= 0) continue;
                    std::string bytes = readFrame(peer, 2000);
                    if (bytes.empty()) break;
                    {
                        std::lock_guard<std::mutex> hold(m_lock);
                        m_frames.push_back(bytes);
                    }
                    const std::string reply = answer(bytes);
                    if (!reply.empty() && !writeBytes(peer, reply)) break;
                }
            }
        });
    }
    ~ScriptedServer() {
        m_stop.store(true);
        m_thread.join();
    }
    int port() const { return m_listener.localPort(); }
    int accepted() const { return m_accepted.load(); }
    std::vector<std::string> frames() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_frames;
    }
    std::vector<int32_t> types() {
        std::vector<int32_t> out;
        for (const std::string& f : frames()) out.push_back(getInt32(f.data()));
        return out;
    }

  private:
    CTcpSocket m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_lock;
    std::vector<std::string> m_frames;
    std::thread m_thread;
};

// Accepts every log-in, registration and rename.
inline std::string acceptingServer(const std::string& frameBytes) {
    switch (getInt32(frameBytes.data())) {
        case PKT_LOGIN:
            return result(PKT_LOGIN_RESULT, 0);
        case PKT_REGISTER:
        case PKT_RENAME:
            return result(PKT_REGISTER_RESULT, 0);
        default:
            return "";
    }
}

}  // namespace tovi::test
