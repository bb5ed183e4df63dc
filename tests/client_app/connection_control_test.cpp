// The connection control without a display: the status table, queuing requests, the tick's
// handling of replies and deadlines, reconnection, the refused name and the rename.
#include <gtest/gtest.h>

#include <thread>

#include "client_app_support.h"
#include "platform/ini_file.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

const char* const CONNECT_FAILED = "サーバーに接続できません。アドレスの設定を変更しますか。\n";
const char* const SEND_FAILED =
    "メッセージの送信でエラーが発生しました。サーバーに再接続を行いますか？\n";
const char* const RESTART =
    "サーバーの設定が変更されました。アプリケーションを再起動して下さい。\n";
const char* const ALREADY = "すでに同一名のユーザーが接続しています。\n";
const char* const TOO_MANY =
    "サーバーへのユーザー登録数がオーバーしています。\nアプリケーションを終了します。\n";
const char* const TIMEOUT = "サーバーとの通信中にタイムアウトが発生しました。再接続を行います。\n";
const char* const PROTOCOL =
    "サーバーとの接続シーケンスでエラーが発生しました。再接続を行います。\n";

// After the log-in the server sends two packets at once: the worker leaves the first in the inbound
// slot and waits with the second until that slot is emptied, taking no request meanwhile.
std::string twoPacketsAfterTheLogIn(const std::string& f) {
    if (getInt32(f.data()) != PKT_LOGIN) return std::string();
    return result(PKT_LOGIN_RESULT, 0) + frame(PKT_USERLIST, "") + frame(PKT_USERLIST, "");
}

struct Row {
    int status;
    std::vector<int> answers;  // message-box answers, in order
    bool dialogResult;         // the registration dialog stores / the waiting dialog ends well
    std::vector<const char*> boxes;
    int buttons;  // of the first box
    int exits, registerDialogs, waits;
    bool result;
};

// Every row, twice where it returns false: the status stays, so the next tick does it again.
TEST(ConnectionControl, StatusTableBoxesActionsResultsAndRepeats) {
    const int OK = MB_OK, OKC = MB_OKCANCEL;
    // clang-format off
    const Row rows[] = {
        {ST_CONNECTED,         {},               false, {},                        0,   0, 0, 0, false},
        {ST_STOPPED,           {},               false, {},                        0,   0, 0, 0, true},
        {ST_CONNECTING,        {},               true,  {},                        0,   0, 0, 1, false},
        {ST_CONNECTING,        {},               false, {},                        0,   1, 0, 1, false},
        {ST_SEND_FAILED,       {IDOK},           false, {SEND_FAILED},             OKC, 0, 0, 0, true},
        {ST_SEND_FAILED,       {IDCANCEL},       false, {SEND_FAILED},             OKC, 1, 0, 0, false},
        {ST_CONNECT_FAILED,    {IDCANCEL},       false, {CONNECT_FAILED},          OKC, 1, 0, 0, true},
        {ST_CONNECT_FAILED,    {IDOK},           false, {CONNECT_FAILED},          OKC, 0, 1, 0, true},
        {ST_CONNECT_FAILED,    {IDOK, IDOK},     true,  {CONNECT_FAILED, RESTART}, OKC, 1, 1, 0, true},
        {ST_ALREADY_CONNECTED, {IDOK},           false, {ALREADY},                 OK,  1, 0, 0, false},
        {ST_REGISTER_FAILED,   {IDOK},           false, {TOO_MANY},                OK,  1, 0, 0, false},
        {ST_TIMEOUT,           {IDOK},           false, {TIMEOUT},                 OK,  0, 0, 0, true},
        {ST_PROTOCOL_ERROR,    {IDOK},           false, {PROTOCOL},                OK,  0, 0, 0, true},
        // Lost after a log-in (the server restarted): reconnect silently.
        {ST_RECV_FAILED,       {},               false, {},                        0,   0, 0, 0, true},
        {99,                   {},               false, {},                        0,   0, 0, 0, false},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        CScriptedMessageBoxes boxes;
        ClientConfig config(1);
        FakeHost host;
        host.registerDialog = [&](int) { return row.dialogResult; };
        host.waitResult = row.dialogResult;
        CConnectionControl control(config.settings, host);
        const int passes = row.result ? 1 : 2;
        Names expected;
        for (int pass = 0; pass < passes; ++pass) {
            for (int answer : row.answers) boxes.queueAnswer(answer);
            for (const char* text : row.boxes) expected.push_back(cp932(text));
            EXPECT_EQ(control.statusAction(row.status), row.result);
        }
        EXPECT_EQ(boxes.texts(), expected);
        if (!row.boxes.empty()) {
            EXPECT_EQ(boxes.shown()[0].buttons, row.buttons);
        }
        EXPECT_EQ(host.exits, row.exits * passes);
        EXPECT_EQ(host.registerDialogs, std::vector<int>(row.registerDialogs * passes, 1));
        EXPECT_EQ(host.waits, std::vector<int>(row.waits * passes, WAIT_CONNECTING));
    }
}

TEST(ConnectionControl, PostRequestStoresUpTo19800BytesIntoAFreeSlotOnly) {
    IdleControl c;
    CPacketMailbox& view = c.control.sendView();
    const std::string body(19801, 'x');
    EXPECT_FALSE(c.control.postRequest(PKT_MAIL, body.data(), 19801));
    EXPECT_EQ(view.peekSlot(nullptr, SLOT_OUTBOUND), 0u);
    EXPECT_EQ(c.control.requestDeadline(), 0);

    const int32_t before = nowSeconds();
    ASSERT_TRUE(c.control.postRequest(PKT_MAIL, body.data(), 19800));
    const std::string queued = c.outbound();
    EXPECT_EQ(queued, int32s({PKT_MAIL, 19800}) + body.substr(0, 19800));
    EXPECT_GE(c.control.requestDeadline(), before + 1);

    // Still occupied after the two short waits: false, and the queued request is untouched.
    EXPECT_FALSE(c.control.postRequest(PKT_USERLIST_REQ, "y", 1));
    EXPECT_EQ(c.outbound(), queued);

    // Once the exit is confirmed nothing more is queued.
    view.putSlot(0, nullptr, SLOT_OUTBOUND);
    c.control.markClosing();
    EXPECT_FALSE(c.control.postRequest(PKT_USERLIST_REQ, "y", 1));
    EXPECT_EQ(view.peekSlot(nullptr, SLOT_OUTBOUND), 0u);
}

TEST(ConnectionControl, TickHandsRepliesOverLeavesMailAndDropsStrayTypes) {
    IdleControl c;
    // The 0.0.0.0 address started no worker; the tick asks to change the address.
    EXPECT_FALSE(c.control.sendWorkerRunning());
    c.boxes.queueAnswer(IDOK);
    c.control.onPollTimer();
    EXPECT_EQ(c.boxes.texts(), Names{cp932(CONNECT_FAILED)});

    c.control.sendView().setStatus(ST_CONNECTED);
    for (int32_t type : {PKT_USERLIST, PKT_MAIL_RESULT}) {
        c.put(SLOT_INBOUND, frame(type, int32s({0, 0})));
        c.control.onPollTimer();
        EXPECT_EQ(c.control.sendView().peekSlot(nullptr, SLOT_INBOUND), 0u);
    }
    EXPECT_EQ(c.host.replies, (std::vector<int32_t>{PKT_USERLIST, PKT_MAIL_RESULT}));
    EXPECT_EQ(c.host.flagChecks, 3);

    // A handler that says false ends the tick before the flag files.
    c.host.replyResult = false;
    c.put(SLOT_INBOUND, frame(PKT_USERLIST, ""));
    c.control.onPollTimer();
    EXPECT_EQ(c.host.flagChecks, 3);

    // Delivered mail is the receive worker's; a type nobody takes is removed.
    c.put(SLOT_INBOUND, frame(PKT_MAIL, std::string(40, 'm')));
    c.control.onPollTimer();
    EXPECT_NE(c.control.sendView().peekSlot(nullptr, SLOT_INBOUND), 0u);
    c.control.sendView().putSlot(0, nullptr, SLOT_INBOUND);
    c.put(SLOT_INBOUND, frame(PKT_LOGIN_RESULT, int32s({0, 0})));
    c.control.onPollTimer();
    EXPECT_EQ(c.control.sendView().peekSlot(nullptr, SLOT_INBOUND), 0u);

    // An expired read deadline is reported once.
    c.control.sendView().setDeadline(nowSeconds() - 5);
    c.control.onPollTimer();
    c.control.onPollTimer();
    EXPECT_EQ(c.boxes.texts(),
              (Names{cp932(CONNECT_FAILED), cp932("メッセージ受信中に異常がありました。\n")}));
}

TEST(ConnectionControl, ARequestIsWaitedForOnlyWhileAWorkerCanTakeIt) {
    ScriptedServer server(acceptingServer);
    LiveControl c(server.port());
    c.host.control = nullptr;  // declining the exit keeps it running
    ASSERT_TRUE(c.loggedIn());

    // The worker has ended with a failure (the exit is declined): the request stays queued, no
    // waiting dialog.
    c.control.killWorkers(1);
    c.control.sendView().setStatus(ST_ALREADY_CONNECTED);
    ASSERT_TRUE(c.control.postRequest(PKT_USERLIST_REQ, std::string(24, '\0').data(), 24));
    setClockOffsetForTests(10);
    c.boxes.queueAnswer(IDOK);
    c.control.onPollTimer();
    setClockOffsetForTests(0);
    EXPECT_TRUE(c.host.waits.empty());
    EXPECT_EQ(c.control.sendView().peekSlot(nullptr, SLOT_OUTBOUND), 32u);

    // The worker the next tick starts takes it.
    c.control.sendView().setStatus(ST_STOPPED);
    c.control.onPollTimer();
    ASSERT_TRUE(eventually([&] { return server.types().size() == 3; }));
    EXPECT_EQ(server.types(), (std::vector<int32_t>{PKT_LOGIN, PKT_LOGIN, PKT_USERLIST_REQ}));
    EXPECT_TRUE(c.host.waits.empty());
}

TEST(ConnectionControl, ARequestTheWorkerDoesNotTakeOpensTheWaitAndCancellingAsksToExit) {
    ScriptedServer server(twoPacketsAfterTheLogIn);
    LiveControl c(server.port());
    c.host.waitResult = false;
    ASSERT_TRUE(c.loggedIn());
    ASSERT_TRUE(eventually([&] { return c.control.sendView().peekSlot(nullptr, SLOT_INBOUND); }));
    ASSERT_TRUE(c.control.postRequest(PKT_USERLIST_REQ, std::string(24, '\0').data(), 24));
    setClockOffsetForTests(3);
    c.control.onPollTimer();
    setClockOffsetForTests(0);
    EXPECT_EQ(c.host.waits, std::vector<int>{WAIT_SENDING});
    EXPECT_EQ(c.boxes.texts(), Names{cp932("サーバーに異常があるかもしれません。\n")});
    EXPECT_EQ(c.host.exits, 1);
    EXPECT_FALSE(c.control.sendWorkerRunning());
    EXPECT_EQ(c.control.sendView().getStatus(), ST_STOPPED);
}

// At exit a request still queued gets its moment (up to 3 s): one the worker takes after a second
// leaves, and none is reported lost.
TEST(ConnectionControl, ARequestQueuedAtExitIsGivenTimeToLeave) {
    ScriptedServer server(twoPacketsAfterTheLogIn);
    LiveControl c(server.port());
    ASSERT_TRUE(c.loggedIn());
    ASSERT_TRUE(eventually([&] { return c.control.sendView().peekSlot(nullptr, SLOT_INBOUND); }));
    ASSERT_TRUE(c.control.postRequest(PKT_USERLIST_REQ, std::string(24, '\0').data(), 24));
    std::thread window([&] {
        sleepMs(1000);
        c.control.sendView().putSlot(0, nullptr, SLOT_INBOUND);  // the worker goes on
    });
    const int64_t started = monotonicMs();
    EXPECT_TRUE(c.control.flushOutbound());
    EXPECT_GE(monotonicMs() - started, 900);
    window.join();
    EXPECT_TRUE(eventually([&] { return server.types().size() == 2; }));
}

TEST(ConnectionControl, ConnectionsLostBeforeTheLogInEndInTheConnectFailedBox) {
    ScriptedServer server(acceptingServer, /*closeAtOnce=*/true);
    LiveControl c(server.port());
    c.boxes.queueAnswer(IDCANCEL);  // the connect-failed box: Cancel, then the exit question
    for (int tick = 0; tick < 40 && c.host.exits == 0; ++tick) {
        eventually([&] { return c.control.sendView().getStatus() == ST_RECV_FAILED; }, 3000);
        c.control.onPollTimer();
    }
    EXPECT_EQ(server.accepted(), 3);
    EXPECT_EQ(c.boxes.texts(), Names{cp932(CONNECT_FAILED)});
    EXPECT_EQ(c.host.exits, 1);
}

TEST(ConnectionControl, TheRefusedNameIsNeverLoggedInAndTheNewOneIsRegistered) {
    ScriptedServer server([](const std::string& f) {
        if (getInt32(f.data()) == PKT_LOGIN) return result(PKT_LOGIN_RESULT, LOGIN_UNKNOWN_NAME);
        const bool taken = f.substr(8, 20) == nameField("alice");
        return result(PKT_REGISTER_RESULT, taken ? REGISTER_NAME_TAKEN : 0);
    });
    LiveControl c(server.port());
    c.host.control = nullptr;  // declining the exit keeps it running
    ASSERT_TRUE(eventually([&] { return c.control.sendView().getStatus() == ST_NAME_TAKEN; }));

    c.control.onPollTimer();  // box, the dialog (cancelled), the exit question (declined)
    c.control.onPollTimer();  // the dialog again, no box, no worker
    EXPECT_EQ(
        c.boxes.texts(),
        Names{cp932("すでに同一ユーザー名が登録されています。ユーザー名を変更してください。\n")});
    EXPECT_EQ(c.host.registerDialogs, (std::vector<int>{0, 0}));
    EXPECT_EQ(c.host.exits, 2);
    EXPECT_FALSE(c.control.sendWorkerRunning());
    EXPECT_EQ(server.accepted(), 1);

    c.host.registerDialog = [&](int) {
        return c.config.settings.setIdentity("alicia", "sales", nullptr) == 1;
    };
    c.control.onPollTimer();
    ASSERT_TRUE(c.loggedIn());
    // The new name is registered after the log-in, so a name someone else holds is refused.
    const std::vector<std::string> frames = server.frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[2], frame(PKT_LOGIN, nameField("alicia")));
    EXPECT_EQ(frames[3], frame(PKT_REGISTER, nameField("alicia") + nameField("sales")));
}

// The new name is stored only once the server accepted it: a refused, unqueued or dropped rename
// leaves the settings with the name the server knows.
TEST(ConnectionControl, RenameIsStoredOnlyWhenAcceptedAndReportedWhenRefusedOrDropped) {
    IdleControl c;
    c.host.control = nullptr;  // declining the exit keeps it running
    c.host.renameName = "bob";
    c.host.renameGroup = "dev";
    c.control.changeConnectionSettings();
    EXPECT_EQ(c.outbound(), frame(PKT_RENAME, nameField("bob") + nameField("dev")));
    EXPECT_EQ(c.config.settings.name(), "alice");
    EXPECT_EQ(CIniFile(c.config.root.path + "Tovic.ini").getString("USER", "NAME"), "alice");

    const std::string refused = int32s({8, 1, 1});
    EXPECT_FALSE(c.control.onRenameResult(refused.data(), refused.size()));
    EXPECT_EQ(c.boxes.texts(), Names{cp932("ユーザーは既に使用されています。\n")});
    EXPECT_EQ(c.config.settings.name() + c.config.settings.group(), "alicesales");

    // A rename that cannot be queued (the slot still holds the first) is reported, not kept.
    c.host.renameName = "carol";
    c.control.changeConnectionSettings();
    EXPECT_EQ(c.boxes.texts().back(), cp932("メッセージの送信に失敗しました。\n"));
    EXPECT_FALSE(c.control.renamePending());

    // Accepted: stored, and the receive worker starts again under the new name.
    c.control.sendView().putSlot(0, nullptr, SLOT_OUTBOUND);
    c.control.changeConnectionSettings();
    ASSERT_TRUE(c.control.receiveWorkerRunning());
    const std::string accepted = int32s({8, 0, 0});
    EXPECT_TRUE(c.control.onRenameResult(accepted.data(), accepted.size()));
    EXPECT_EQ(c.config.settings.name() + c.config.settings.group(), "caroldev");
    EXPECT_EQ(CIniFile(c.config.root.path + "Tovic.ini").getString("USER", "NAME"), "carol");
    ASSERT_TRUE(eventually([&] { return c.control.receiveView().getStatus() == ST_STOPPED; }));
    c.boxes.queueAnswer(IDCANCEL);  // the connect-failed box of the 0.0.0.0 address
    c.control.onPollTimer();
    EXPECT_TRUE(c.control.receiveWorkerRunning());
}

TEST(ConnectionControl, ARenameWhoseConnectionBreaksBeforeTheAnswerIsNotKept) {
    // The first connection logs in, reads the rename and closes without answering.
    ScriptedServer server({result(PKT_LOGIN_RESULT, 0), ""}, true);
    LiveControl c(server.port());
    ASSERT_TRUE(c.loggedIn());
    c.host.renameName = "bob";
    c.host.renameGroup = "dev";
    c.control.changeConnectionSettings();
    // The worker makes a new connection by itself and logs in again under the old name.
    ASSERT_TRUE(eventually([&] { return server.frames().size() == 3; }));
    ASSERT_TRUE(c.loggedIn());
    c.control.onPollTimer();
    EXPECT_EQ(c.boxes.texts(),
              Names{cp932("サーバーとの接続が切れたため、ユーザー名は変更されませんでした。\n")});
    EXPECT_EQ(c.config.settings.name(), "alice");
    EXPECT_FALSE(c.control.renamePending());
    EXPECT_EQ(server.got(2), frame(PKT_LOGIN, nameField("alice")));
}

}  // namespace
}  // namespace tovi::test
