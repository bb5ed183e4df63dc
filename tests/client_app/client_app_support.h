// Shared by the client application tests without a display: a settings file in a temporary
// directory and a host that records what the connection control asks of the window.
#pragma once

#include <functional>

#include "client/app/connection_control.h"
#include "client/connection/mailbox_storage.h"
#include "client/connection/packet_mailbox.h"
#include "client/dialogs/client_settings.h"
#include "support/scripted_server.h"
#include "support/test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {

// The bytes of a mail file: the head and the text; lengthField stands for the text's length when
// given.
inline std::string mailBytes(const std::string& owner, int32_t time, int32_t box,
                             const std::string& peer, int32_t token, const std::string& text,
                             int32_t lengthField = -1) {
    return nameField(owner) + int32s({time, box}) + nameField(peer) +
           int32s({token, lengthField == -1 ? static_cast<int32_t>(text.size()) : lengthField}) +
           text;
}

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
    // What the rename dialog returns: empty for Cancel.
    std::string renameName, renameGroup;
    int renameDialogs = 0;
    bool askRename(std::string& name, std::string& group) override {
        ++renameDialogs;
        if (renameName.empty()) return false;
        name = renameName;
        group = renameGroup;
        return true;
    }
    bool reply(int32_t type) {
        replies.push_back(type);
        return replyResult;
    }
    bool onUserList(const char*, uint32_t) override { return reply(PKT_USERLIST); }
    bool onMailResult(const char*, uint32_t) override { return reply(PKT_MAIL_RESULT); }
    void reloadLists() override { ++reloads; }
    void checkFlagFiles() override { ++flagChecks; }
    void pause(int) override {}
};

// A connection control with bound views, started on the configuration's address (without the
// pause after worker starts); the exit question marks it closing.
struct LiveControl {
    CScriptedMessageBoxes boxes;
    ClientConfig config;
    FakeHost host;
    CConnectionControl control{config.settings, host};
    explicit LiveControl(int port, const char* address = "127.0.0.1")
        : config(port, "alice", "sales", address) {
        host.control = &control;
        control.setStartPauseMs(0);
        control.initialise(0);
    }
    bool loggedIn() {
        return eventually([&] { return control.loggedIn(); });
    }
    void put(int index, const std::string& bytes) {
        ASSERT_EQ(
            control.sendView().putSlot(static_cast<unsigned>(bytes.size()), bytes.data(), index),
            bytes.size());
    }
    std::string outbound() {
        std::string slot(MAILBOX_SLOT_BYTES, '\0');
        slot.resize(control.sendView().peekSlot(slot.data(), SLOT_OUTBOUND));
        return slot;
    }
};

// The same without workers to talk to: 0.0.0.0 starts no send worker.
struct IdleControl : LiveControl {
    IdleControl() : LiveControl(1, "0.0.0.0") {}
};

}  // namespace tovi::test
