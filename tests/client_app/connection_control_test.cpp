// The connection control without a display: the status table, queuing requests, the tick's
// handling of replies and deadlines, reconnection, the refused name and the rename.
#include <gtest/gtest.h>

#include "client_app_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

struct Row {
    int status;
    std::vector<int> answers;  // message-box answers, in order
    bool registerStores;       // what the registration dialog does
    const char* box;           // the first box's text ("" none)
    int buttons;
    const char* secondBox;
    int exits;
    int registerDialogs;
    bool result;
};

const char* const CONNECT_FAILED = "サーバーに接続できません。アドレスの設定を変更しますか。\n";
const char* const RESTART =
    "サーバーの設定が変更されました。アプリケーションを再起動して下さい。\n";

TEST(ConnectionControl, StatusTableBoxesActionsAndResults) {
    const char* const SEND_FAILED =
        "メッセージの送信でエラーが発生しました。サーバーに再接続を行いますか？\n";
    // clang-format off
    const Row rows[] = {
        {ST_CONNECTED, {}, false, "", 0, "", 0, 0, false},
        {ST_STOPPED, {}, false, "", 0, "", 0, 0, true},
        {ST_SEND_FAILED, {IDOK}, false, SEND_FAILED, MB_OKCANCEL, "", 0, 0, true},
        {ST_SEND_FAILED, {IDCANCEL}, false, SEND_FAILED, MB_OKCANCEL, "", 1, 0, false},
        {ST_CONNECT_FAILED, {IDCANCEL}, false, CONNECT_FAILED, MB_OKCANCEL, "", 1, 0, true},
        {ST_CONNECT_FAILED, {IDOK}, false, CONNECT_FAILED, MB_OKCANCEL, "", 0, 1, true},
        {ST_CONNECT_FAILED, {IDOK, IDOK}, true, CONNECT_FAILED, MB_OKCANCEL, RESTART, 1, 1, true},
        {ST_ALREADY_CONNECTED, {IDOK}, false, "すでに同一名のユーザーが接続しています。\n", MB_OK,
         "", 1, 0, false},
        {ST_REGISTER_FAILED, {IDOK}, false,
         "サーバーへのユーザー登録数がオーバーしています。\nアプリケーションを終了します。\n",
         MB_OK, "", 1, 0, false},
        {ST_TIMEOUT, {IDOK}, false,
         "サーバーとの通信中にタイムアウトが発生しました。再接続を行います。\n", MB_OK, "", 0, 0,
         true},
        {ST_PROTOCOL_ERROR, {IDOK}, false,
         "サーバーとの接続シーケンスでエラーが発生しました。再接続を行います。\n", MB_OK, "", 0,
         0, true},
        // The connection was lost after a log-in (the server restarted): reconnect silently.
        {ST_RECV_FAILED, {}, false, "", 0, "", 0, 0, true},
        {99, {}, false, "", 0, "", 0, 0, false},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        CScriptedMessageBoxes boxes;
        for (int answer : row.answers) boxes.queueAnswer(answer);
        ClientConfig config(1);
        FakeHost host;
        host.registerDialog = [&](int) { return row.registerStores; };
        CConnectionControl control(config.settings, host);
        EXPECT_EQ(control.statusAction(row.status), row.result);
        const std::vector<CScriptedMessageBoxes::Shown> shown = boxes.shown();
        const size_t expected = (*row.box != 0) + (*row.secondBox != 0);
        ASSERT_EQ(shown.size(), expected);
        if (*row.box != 0) {
            EXPECT_EQ(shown[0].text, cp932(row.box));
            EXPECT_EQ(shown[0].buttons, row.buttons);
        }
        if (*row.secondBox != 0) EXPECT_EQ(shown[1].text, cp932(row.secondBox));
        EXPECT_EQ(host.exits, row.exits);
        EXPECT_EQ(host.registerDialogs, std::vector<int>(row.registerDialogs, 1));
    }
}

TEST(ConnectionControl, ConnectingWaitsAndACancelledWaitAsksToExit) {
    CScriptedMessageBoxes boxes;
    ClientConfig config(1);
    FakeHost host;
    CConnectionControl control(config.settings, host);
    EXPECT_FALSE(control.statusAction(ST_CONNECTING));
    EXPECT_EQ(host.waits, std::vector<int>{WAIT_CONNECTING});
    EXPECT_EQ(host.exits, 0);
    host.waitResult = false;
    EXPECT_FALSE(control.statusAction(ST_CONNECTING));
    EXPECT_EQ(host.exits, 1);
    EXPECT_TRUE(boxes.texts().empty());
}

TEST(ConnectionControl, PostRequestStoresUpTo19800BytesIntoAFreeSlotOnly) {
    ClientConfig config(1);
    FakeHost host;
    CConnectionControl control(config.settings, host);
    control.sendView().bind(nullptr, nullptr, nullptr);
    CMailboxStorage storage;
    CPacketMailbox& view = control.sendView();
    view.bind(&storage.lock, &storage.slots, &storage.sendStatus);

    std::string body(19801, 'x');
    EXPECT_FALSE(control.postRequest(PKT_MAIL, body.data(), 19801));
    EXPECT_EQ(view.peekSlot(nullptr, SLOT_OUTBOUND), 0u);
    EXPECT_EQ(control.requestDeadline(), 0);

    const int32_t before = nowSeconds();
    ASSERT_TRUE(control.postRequest(PKT_MAIL, body.data(), 19800));
    std::string slot(MAILBOX_SLOT_BYTES, '\0');
    slot.resize(view.peekSlot(slot.data(), SLOT_OUTBOUND));
    EXPECT_EQ(slot, int32s({PKT_MAIL, 19800}) + body.substr(0, 19800));
    EXPECT_GE(control.requestDeadline(), before + 1);

    // Still occupied after the two short waits: false, and the queued request is untouched.
    EXPECT_FALSE(control.postRequest(PKT_USERLIST_REQ, "y", 1));
    EXPECT_EQ(view.peekSlot(nullptr, SLOT_OUTBOUND), slot.size());

    // Once the exit is confirmed nothing more is queued.
    view.putSlot(0, nullptr, SLOT_OUTBOUND);
    control.markClosing();
    EXPECT_FALSE(control.postRequest(PKT_USERLIST_REQ, "y", 1));
    EXPECT_EQ(view.peekSlot(nullptr, SLOT_OUTBOUND), 0u);
}

// A control with bound views and no workers (address 0.0.0.0 starts none).
struct IdleControl {
    CScriptedMessageBoxes boxes;
    ClientConfig config{1, "alice", "sales", "0.0.0.0"};
    FakeHost host;
    CConnectionControl control{config.settings, host};
    IdleControl() {
        host.control = &control;
        control.setStartPauseMs(0);
        control.initialise(0);
    }
    bool put(int index, const std::string& bytes) {
        return control.sendView().putSlot(static_cast<unsigned>(bytes.size()), bytes.data(),
                                          index) == bytes.size();
    }
};

TEST(ConnectionControl, AnAddressThatCannotBeReachedStartsNoWorker) {
    IdleControl c;
    EXPECT_FALSE(c.control.sendWorkerRunning());
    EXPECT_EQ(c.control.sendView().getStatus(), ST_CONNECT_FAILED);
    // The tick asks to change the address.
    c.boxes.queueAnswer(IDCANCEL);
    c.control.onPollTimer();
    EXPECT_EQ(c.boxes.texts(), Names{cp932(CONNECT_FAILED)});
    EXPECT_EQ(c.host.exits, 1);
}

TEST(ConnectionControl, TickHandsRepliesOverLeavesMailAndDropsStrayTypes) {
    IdleControl c;
    c.control.sendView().setStatus(ST_CONNECTED);
    for (int32_t type : {PKT_USERLIST, PKT_MAIL_RESULT}) {
        ASSERT_TRUE(c.put(SLOT_INBOUND, frame(type, int32s({0, 0}))));
        c.control.onPollTimer();
        EXPECT_EQ(c.control.sendView().peekSlot(nullptr, SLOT_INBOUND), 0u);
    }
    EXPECT_EQ(c.host.replies, (std::vector<int32_t>{PKT_USERLIST, PKT_MAIL_RESULT}));
    EXPECT_EQ(c.host.flagChecks, 2);

    // A handler that says false ends the tick before the flag files.
    c.host.replyResult = false;
    ASSERT_TRUE(c.put(SLOT_INBOUND, frame(PKT_USERLIST, "")));
    c.control.onPollTimer();
    EXPECT_EQ(c.host.flagChecks, 2);

    // Delivered mail is the receive worker's; a type nobody takes is removed.
    ASSERT_TRUE(c.put(SLOT_INBOUND, frame(PKT_MAIL, std::string(40, 'm'))));
    c.control.onPollTimer();
    EXPECT_NE(c.control.sendView().peekSlot(nullptr, SLOT_INBOUND), 0u);
    c.control.sendView().putSlot(0, nullptr, SLOT_INBOUND);
    ASSERT_TRUE(c.put(SLOT_INBOUND, frame(PKT_LOGIN_RESULT, int32s({0, 0}))));
    c.control.onPollTimer();
    EXPECT_EQ(c.control.sendView().peekSlot(nullptr, SLOT_INBOUND), 0u);
    EXPECT_TRUE(c.boxes.texts().empty());
}

TEST(ConnectionControl, AnExpiredReadDeadlineIsReportedOnce) {
    IdleControl c;
    c.control.sendView().setStatus(ST_CONNECTED);
    c.control.sendView().setDeadline(nowSeconds() - 5);
    c.control.onPollTimer();
    c.control.onPollTimer();
    EXPECT_EQ(c.boxes.texts(), Names{cp932("メッセージ受信中に異常がありました。\n")});
    EXPECT_EQ(c.control.sendView().getDeadline(), 0);
}

TEST(ConnectionControl, ARequestIsWaitedForOnlyWhileAWorkerCanTakeIt) {
    ScriptedServer server(acceptingServer);
    CScriptedMessageBoxes boxes;
    ClientConfig config(server.port());
    FakeHost host;
    CConnectionControl control(config.settings, host);
    control.setStartPauseMs(0);
    control.initialise(0);
    ASSERT_TRUE(eventually([&] { return control.loggedIn(); }));

    // The worker has ended with a failure (the exit is declined): the request stays queued, no
    // waiting dialog.
    control.killWorkers(1);
    control.sendView().setStatus(ST_ALREADY_CONNECTED);
    ASSERT_TRUE(control.postRequest(PKT_USERLIST_REQ, std::string(24, '\0').data(), 24));
    setClockOffsetForTests(10);
    boxes.queueAnswer(IDOK);
    control.onPollTimer();
    setClockOffsetForTests(0);
    EXPECT_TRUE(host.waits.empty());
    EXPECT_EQ(control.sendView().peekSlot(nullptr, SLOT_OUTBOUND), 32u);

    // The worker the next tick starts takes it.
    control.sendView().setStatus(ST_STOPPED);
    control.onPollTimer();  // a new worker, which takes the request
    ASSERT_TRUE(eventually([&] { return control.loggedIn(); }));
    ASSERT_TRUE(eventually([&] { return server.types().size() == 3; }));
    EXPECT_EQ(server.types(), (std::vector<int32_t>{PKT_LOGIN, PKT_LOGIN, PKT_USERLIST_REQ}));
    EXPECT_TRUE(host.waits.empty());
}

TEST(ConnectionControl, ARequestTheWorkerDoesNotTakeOpensTheWaitAndCancellingAsksToExit) {
    // After the log-in the server sends two packets at once: the worker leaves the first in the
    // inbound slot and waits with the second until that slot is emptied, taking no request.
    ScriptedServer server([](const std::string& f) {
        if (getInt32(f.data()) != PKT_LOGIN) return std::string();
        return result(PKT_LOGIN_RESULT, 0) + frame(PKT_USERLIST, "") + frame(PKT_USERLIST, "");
    });
    CScriptedMessageBoxes boxes;
    ClientConfig config(server.port());
    FakeHost host;
    CConnectionControl control(config.settings, host);
    host.control = &control;
    host.waitResult = false;
    control.setStartPauseMs(0);
    control.initialise(0);
    ASSERT_TRUE(eventually([&] { return control.loggedIn(); }));
    ASSERT_TRUE(eventually([&] { return control.sendView().peekSlot(nullptr, SLOT_INBOUND); }));
    ASSERT_TRUE(control.postRequest(PKT_USERLIST_REQ, std::string(24, '\0').data(), 24));
    setClockOffsetForTests(3);
    control.onPollTimer();
    setClockOffsetForTests(0);
    EXPECT_EQ(host.waits, std::vector<int>{WAIT_SENDING});
    EXPECT_EQ(boxes.texts(), Names{cp932("サーバーに異常があるかもしれません。\n")});
    EXPECT_EQ(host.exits, 1);
    EXPECT_FALSE(control.sendWorkerRunning());
    EXPECT_EQ(control.sendView().getStatus(), ST_STOPPED);
}

TEST(ConnectionControl, ConnectionsLostBeforeTheLogInEndInTheConnectFailedBox) {
    ScriptedServer server(acceptingServer, /*closeAtOnce=*/true);
    CScriptedMessageBoxes boxes;
    ClientConfig config(server.port());
    FakeHost host;
    CConnectionControl control(config.settings, host);
    host.control = &control;
    control.setStartPauseMs(0);
    boxes.queueAnswer(IDCANCEL);  // the connect-failed box: Cancel, then the exit question
    control.initialise(0);
    for (int tick = 0; tick < 40 && host.exits == 0; ++tick) {
        eventually([&] { return control.sendView().getStatus() == ST_RECV_FAILED; }, 3000);
        control.onPollTimer();
    }
    EXPECT_EQ(server.accepted(), 3);
    EXPECT_EQ(boxes.texts(), Names{cp932(CONNECT_FAILED)});
    EXPECT_EQ(host.exits, 1);
}

TEST(ConnectionControl, TheRefusedNameIsNeverLoggedInAndTheNewOneIsRegistered) {
    ScriptedServer server([](const std::string& f) {
        if (getInt32(f.data()) == PKT_LOGIN) return result(PKT_LOGIN_RESULT, LOGIN_UNKNOWN_NAME);
        const bool taken = f.substr(8, 20) == nameField("alice");
        return result(PKT_REGISTER_RESULT, taken ? REGISTER_NAME_TAKEN : 0);
    });
    CScriptedMessageBoxes boxes;
    ClientConfig config(server.port());
    FakeHost host;
    CConnectionControl control(config.settings, host);
    host.control = nullptr;  // declining the exit keeps it running
    control.setStartPauseMs(0);
    control.initialise(0);
    ASSERT_TRUE(eventually([&] { return control.sendView().getStatus() == ST_NAME_TAKEN; }));

    control.onPollTimer();  // box, the dialog (cancelled), the exit question (declined)
    control.onPollTimer();  // the dialog again, no box, no worker
    EXPECT_EQ(
        boxes.texts(),
        Names{cp932("すでに同一ユーザー名が登録されています。ユーザー名を変更してください。\n")});
    EXPECT_EQ(host.registerDialogs, (std::vector<int>{0, 0}));
    EXPECT_EQ(host.exits, 2);
    EXPECT_FALSE(control.sendWorkerRunning());
    EXPECT_EQ(server.accepted(), 1);

    host.registerDialog = [&](int) {
        return config.settings.setIdentity("alicia", "sales", nullptr) == 1;
    };
    control.onPollTimer();
    ASSERT_TRUE(eventually([&] { return control.loggedIn(); }));
    // The new name is registered after the log-in, so a name someone else holds is refused.
    const std::vector<std::string> frames = server.frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[2], frame(PKT_LOGIN, nameField("alicia")));
    EXPECT_EQ(frames[3], frame(PKT_REGISTER, nameField("alicia") + nameField("sales")));
}

TEST(ConnectionControl, RenameIsSentAndARefusalPutsTheOldIdentityBack) {
    IdleControl c;
    c.host.registerDialog = [&](int) {
        return c.config.settings.setIdentity("bob", "dev", nullptr) == 1;
    };
    c.host.changed = true;
    c.control.changeConnectionSettings();
    EXPECT_EQ(c.host.registerDialogs, std::vector<int>{0});
    std::string slot(MAILBOX_SLOT_BYTES, '\0');
    slot.resize(c.control.sendView().peekSlot(slot.data(), SLOT_OUTBOUND));
    EXPECT_EQ(slot, frame(PKT_RENAME, nameField("bob") + nameField("dev")));
    EXPECT_EQ(c.host.reloads, 1);

    const std::string refused = int32s({8, 1, 1});
    EXPECT_FALSE(c.control.onRenameResult(refused.data(), refused.size()));
    EXPECT_EQ(c.boxes.texts(), Names{cp932("ユーザーは既に使用されています。\n")});
    EXPECT_EQ(c.config.settings.name(), "alice");
    EXPECT_EQ(c.config.settings.group(), "sales");
    EXPECT_EQ(c.host.reloads, 2);

    // A rename that cannot be queued is reported and not kept.
    c.host.registerDialog = [&](int) {
        return c.config.settings.setIdentity("carol", "ops", nullptr) == 1;
    };
    c.control.changeConnectionSettings();
    EXPECT_EQ(c.boxes.texts().back(), cp932("メッセージの送信に失敗しました。\n"));
    EXPECT_EQ(c.config.settings.name(), "alice");
    EXPECT_EQ(c.host.reloads, 2);
}

TEST(ConnectionControl, AnAcceptedRenameRestartsTheReceiveWorkerUnderTheNewName) {
    CScriptedMessageBoxes boxes;
    ClientConfig config(1, "alice", "sales", "0.0.0.0");
    FakeHost host;
    CConnectionControl control(config.settings, host);
    control.setStartPauseMs(0);
    control.initialise(0);
    ASSERT_TRUE(control.receiveWorkerRunning());
    ASSERT_EQ(config.settings.setIdentity("bob", "sales", nullptr), 1);
    const std::string accepted = int32s({8, 0, 0});
    EXPECT_TRUE(control.onRenameResult(accepted.data(), accepted.size()));
    ASSERT_TRUE(eventually([&] { return control.receiveView().getStatus() == ST_STOPPED; }));
    boxes.queueAnswer(IDCANCEL);  // the connect-failed box of the 0.0.0.0 address
    control.onPollTimer();
    EXPECT_TRUE(control.receiveWorkerRunning());
    EXPECT_EQ(control.receiveView().getStatus(), ST_CONNECTED);
}

}  // namespace
}  // namespace tovi::test
