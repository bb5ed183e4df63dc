// The server window over a real worker on 127.0.0.1: the user list and its reload, deletion,
// the holding-period dialog and what the worker makes of it, the tray, the shut-down question
// and the about box. The decisions behind them are tested in decisions_test.cpp; these cases
// check the wiring.
#include <QAccessible>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "server/app/server_about_dlg.h"
#include "server/app/server_main_dlg.h"
#include "server/app/server_settings_dlg.h"
#include "server/app/windowed_server.h"
#include "server_app_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {

namespace {

constexpr int32_t DAY = 86400;

// The window on a desktop that has a tray.
class CTrayedMainDlg : public CServerMainDlg {
  public:
    using CServerMainDlg::CServerMainDlg;

  protected:
    bool trayAvailable() const override { return true; }
};

class ServerWindow : public ServerAppTest {
  protected:
    void SetUp() override { qtApp(); }
    void TearDown() override {
        window.reset();
        ServerAppTest::TearDown();
    }
    template <class Window = CServerMainDlg>
    void openWindow() {
        window = std::make_unique<Window>(*app);
        window->show();
    }
    Names listed() const {
        Names out;
        for (int i = 0; i < window->userList()->count(); ++i)
            out.push_back(window->userList()->item(i)->text().toStdString());
        return out;
    }
    std::string count() const { return window->countText()->text().toStdString(); }

    CScriptedMessageBoxes boxes;
    std::unique_ptr<CServerMainDlg> window;
};

TEST_F(ServerWindow, ListsReloadsAndDeletesTheSelectedUserForGood) {
    startServer();
    auto carol = enter("carol"), alice = enter("Alice"), bob = enter("bob");
    openWindow();
    EXPECT_EQ(window->windowTitle().toStdString(), "トヴィカサーバー");
    EXPECT_EQ(listed(), (Names{"Alice", "bob", "carol"}));
    QTest::mouseClick(window->deleteButton(), Qt::LeftButton);  // nothing selected: nothing happens
    EXPECT_EQ(count(), "3");

    // A registration shows only after a reload, by the button or by Enter (also on the list).
    auto dave = enter("dave");
    EXPECT_EQ(count(), "3");
    QTest::mouseClick(window->reloadButton(), Qt::LeftButton);
    EXPECT_EQ(listed(), (Names{"Alice", "bob", "carol", "dave"}));
    EXPECT_EQ(count(), "4");
    auto eve = enter(cp932("江戸"));
    window->userList()->setFocus();
    QTest::keyClick(window->userList(), Qt::Key_Return);
    EXPECT_EQ(listed().back(), "江戸");

    // Deleting disconnects the client at once. The deletion leaves nothing selected: a second
    // press deletes nobody. A reload no longer shows bob, whose name is free again.
    window->userList()->setCurrentRow(1);
    QTest::mouseClick(window->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(count(), "4");
    EXPECT_TRUE(bob->waitClosed(5000));
    EXPECT_TRUE(alice->list() != Names{"<no list>"});
    QTest::mouseClick(window->deleteButton(), Qt::LeftButton);
    EXPECT_TRUE(pump([&] {
        window->reload();
        return listed() == Names{"Alice", "carol", "dave", "江戸"};
    }));
    CTestClient newBob;
    ASSERT_TRUE(newBob.connect(port));
    EXPECT_EQ(newBob.login("bob"), LOGIN_UNKNOWN_NAME);

    // The control socket shares the worker: its deletion shows at the next reload, not before.
    EXPECT_EQ(app->worker()->control(CControlRequest::deleteUser("carol")).get().answer, "OK\n");
    EXPECT_TRUE(carol->waitClosed(5000));
    EXPECT_EQ(listed().size(), 4u);
    QTest::mouseClick(window->reloadButton(), Qt::LeftButton);
    EXPECT_EQ(listed(), (Names{"Alice", "dave", "江戸"}));
    EXPECT_EQ(count(), "3");
}

struct HoldCase {
    const char* name;
    const char* limit;      // DELLIMIT in Tovis.ini
    const char* shownDays;  // what the dialog opens with; "" with the box cleared
    const char* typed;      // the days typed over them; nullptr: the box is cleared instead
    bool failWrite;
    const char* written;  // the line written, or nullptr when the file stays as it was
    Names stillHeld;      // "name:text" of what the worker keeps once it has applied its limit
};
void PrintTo(const HoldCase& c, std::ostream* os) { *os << c.name; }

const HoldCase holdCases[] = {
    // Ten days to seven: written, and the worker drops both older mails.
    {"TenDaysToSeven", "864000", "10", "7", false, "DELLIMIT=604800\n", {}},
    // Clearing the box writes 0: held mail is kept for ever.
    {"Cleared", "864000", "10", nullptr, false, "DELLIMIT=0\n", {"carol:8 days", "dave:12 days"}},
    // An hour set by hand opens as one day (with a note) and is kept by an unchanged OK.
    {"AnHourByHand", "3600", "1", "1", false, nullptr, {}},
    // A failed write shows both boxes and the worker keeps its ten days.
    {"FailedWrite", "864000", "10", "7", true, nullptr, {"carol:8 days"}}};

// Held mail: bob's own, and mail 8 and 12 days old for carol and dave. The worker applies its
// limit to the store when bob logs in and takes his.
class HoldLimit : public ServerWindow, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(HoldLimit, OnlyAChangeIsWrittenAndTheWorkerAppliesTheLimitInForce) {
    const HoldCase& c = GetParam();
    const int32_t now = nowSeconds();
    startServer("DELLIMIT=" + std::string(c.limit) + "\n",
                userRecord("bob") + userRecord("carol") + userRecord("dave"),
                heldMessage("bob", now, "for bob") + heldMessage("carol", now - 8 * DAY, "8 days") +
                    heldMessage("dave", now - 12 * DAY, "12 days"));
    openWindow();
    const std::string before = contents(ini());
    if (c.failWrite) CFileFaults::failRenamesTo("Tovis.ini");
    bool opened = false;
    WhenModal<CServerSettingsDlg> onDialog([&](CServerSettingsDlg* d) {
        opened = true;
        EXPECT_EQ(d->windowTitle().toStdString(), "設定");
        EXPECT_EQ(d->deleteOldBox()->isChecked(), *c.shownDays != '\0');
        EXPECT_EQ(d->daysEdit()->text().toStdString(), c.shownDays);
        if (c.typed == nullptr) {
            QTest::mouseClick(d->deleteOldBox(), Qt::LeftButton);
            EXPECT_FALSE(d->daysEdit()->isEnabled());
            EXPECT_TRUE(d->daysEdit()->text().isEmpty());
        } else {
            // A minus sign cannot be typed; any digits, or none, can be confirmed.
            d->daysEdit()->clear();
            QTest::keyClicks(d->daysEdit(), QString::fromStdString(std::string("-") + c.typed));
            EXPECT_EQ(d->daysEdit()->text().toStdString(), c.typed);
            EXPECT_TRUE(d->okButton()->isEnabled());
        }
        EXPECT_EQ(d->fileNote() != nullptr, std::atoi(c.limit) % DAY != 0);
        if (d->fileNote() != nullptr) {
            EXPECT_NE(d->fileNote()->text().toStdString().find(std::string(c.limit) + " 秒"),
                      std::string::npos);
        }
        QTest::mouseClick(d->okButton(), Qt::LeftButton);
        if (d->isVisible()) d->reject();
    });
    QTest::mouseClick(window->settingsButton(), Qt::LeftButton);
    EXPECT_TRUE(opened);
    CFileFaults::reset();
    if (c.written != nullptr) {
        EXPECT_NE(contents(ini()).find(c.written), std::string::npos);
    } else {
        EXPECT_EQ(contents(ini()), before);
    }
    const Names failed = {cp932("初期化ファイルに設定失敗"),
                          cp932("初期化ファイル書き込みでエラー発生\n")};
    EXPECT_EQ(boxes.texts(), c.failWrite ? failed : Names{});
    EXPECT_EQ(enter("bob")->next().text(), "for bob");
    EXPECT_TRUE(eventually([&] { return held(storeFile()) == c.stillHeld; }))
        << held(storeFile()).size();
}

INSTANTIATE_TEST_SUITE_P(Cases, HoldLimit, ::testing::ValuesIn(holdCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerWindow, HidesIntoTheTrayAndALeftClickAloneBringsItBack) {
    startServer();
    openWindow<CTrayedMainDlg>();
    CTrayIcon& tray = window->trayIcon();
    EXPECT_EQ(tray.toolTip().toStdString(), "トヴィカサーバー");
    const QPoint where(40, 30);
    window->move(where);

    // The hide button, Esc and the close box hide it; a left click alone brings it back.
    for (auto hide :
         {std::function<void()>([&] { QTest::mouseClick(window->hideButton(), Qt::LeftButton); }),
          std::function<void()>([&] { QTest::keyClick(window.get(), Qt::Key_Escape); }),
          std::function<void()>([&] { window->close(); })}) {
        hide();
        EXPECT_FALSE(window->isVisible());
        EXPECT_TRUE(tray.isVisible());
        for (auto other :
             {QSystemTrayIcon::Context, QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick})
            emit tray.systemTrayIcon().activated(other);
        EXPECT_FALSE(window->isVisible());
        emit tray.systemTrayIcon().activated(QSystemTrayIcon::Trigger);
        EXPECT_TRUE(window->isVisible());
        EXPECT_FALSE(tray.isVisible());
        EXPECT_EQ(window->pos(), where);
    }
    EXPECT_TRUE(enter("alice")->list() != Names{"<no list>"});  // the server went on meanwhile
    // Without a tray, hiding minimises instead, so that the window can come back.
    openWindow();
    QTest::mouseClick(window->hideButton(), Qt::LeftButton);
    EXPECT_TRUE(window->isVisible() && window->isMinimized());
    EXPECT_FALSE(window->trayIcon().isVisible());
}

// The program goes on while the window is in the tray; Cancel on the shut-down question keeps
// everything running, OK ends the window and then the server.
TEST_F(ServerWindow, TheShutDownQuestionKeepsEverythingOnCancelAndEndsTheServerOnOk) {
    startServer();
    auto alice = enter("alice");
    window = std::make_unique<CTrayedMainDlg>(*app);
    bool ranWhileHidden = false, keptOnCancel = false;
    QTimer::singleShot(0, [&] { QTest::mouseClick(window->hideButton(), Qt::LeftButton); });
    QTimer::singleShot(50, [&] {
        ranWhileHidden = !window->isVisible() && window->trayIcon().isVisible();
        emit window->trayIcon().systemTrayIcon().activated(QSystemTrayIcon::Trigger);
        boxes.queueAnswer(IDCANCEL);
        QTest::mouseClick(window->shutDownButton(), Qt::LeftButton);
        keptOnCancel = window->isVisible() && alice->list() != Names{"<no list>"};
        boxes.queueAnswer(IDOK);
        QTest::mouseClick(window->shutDownButton(), Qt::LeftButton);
    });
    CWindowedServer::runMainWindow(*window);
    EXPECT_TRUE(ranWhileHidden);
    EXPECT_TRUE(keptOnCancel);
    EXPECT_EQ(boxes.texts(), Names(2, cp932("サーバーを終了すると接続中の全クライアントは切断され"
                                            "ます。\n終了しますか？")));
    EXPECT_EQ(boxes.shown()[0].buttons, MB_OKCANCEL);
    EXPECT_FALSE(window->trayIcon().isVisible());
    EXPECT_EQ(window->result(), QDialog::Accepted);
    // What the program does once the window has closed.
    EXPECT_TRUE(app->stop());
    EXPECT_TRUE(alice->waitClosed(6000));
}

TEST_F(ServerWindow, AStopSignalWhileADialogIsOpenCancelsItAndEndsTheWindow) {
    startServer("DELLIMIT=864000\n");
    const std::string before = contents(ini());
    window = std::make_unique<CServerMainDlg>(*app);
    bool dialogWasOpen = false;
    WhenModal<QWidget> onModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<CServerSettingsDlg*>(modal);
        if (dialog == nullptr) return;
        dialogWasOpen = true;
        dialog->deleteOldBox()->setChecked(false);
        // What SIGTERM does in the program.
        window->shutDownNow();
    });
    QTimer::singleShot(0, [&] { QTest::mouseClick(window->settingsButton(), Qt::LeftButton); });
    CWindowedServer::runMainWindow(*window);
    EXPECT_TRUE(dialogWasOpen);
    EXPECT_EQ(contents(ini()), before);
    EXPECT_TRUE(boxes.texts().empty());
}

TEST_F(ServerWindow, TheContextMenuOffersTheAboutBox) {
    startServer();
    openWindow();
    std::string entry, title, line;
    auto* timer = new QTimer(window.get());
    QObject::connect(timer, &QTimer::timeout, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            if (!entry.empty()) return;
            entry = menu->actions().value(0)->text().toStdString();
            // Chosen by the keyboard: the about box then runs outside this tick.
            menu->setActiveAction(menu->actions().value(0));
            QApplication::postEvent(
                menu, new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier));
        } else if (auto* about =
                       qobject_cast<CServerAboutDlg*>(QApplication::activeModalWidget())) {
            title = about->windowTitle().toStdString();
            for (QLabel* label : about->findChildren<QLabel*>())
                if (!label->text().isEmpty()) line = label->text().toStdString();
            about->findChild<QPushButton*>()->click();
            timer->stop();
        }
    });
    timer->start(10);
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            window->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(window.get(), &event);
    EXPECT_TRUE(pump([&] { return !title.empty(); }));
    timer->stop();
    EXPECT_EQ(entry, "ﾊﾞｰｼﾞｮﾝ情報(Tovis) (&A)...");
    EXPECT_EQ(title, "ﾊﾞｰｼﾞｮﾝ情報 Tovis");
    EXPECT_EQ(line, "トヴィカサーバー Version 1.1.0.2");
}

// A screen reader reads every control by its name, and the user count by its number, labelled
// by its caption.
TEST_F(ServerWindow, EveryControlCarriesAnAccessibleNameAndTheCountReadsAsItsNumber) {
    startServer();
    auto alice = enter("alice"), bob = enter("bob");
    openWindow();
    std::vector<QWidget*> controls;
    auto collect = [&](QWidget* root) {
        for (QWidget* w : root->findChildren<QWidget*>())
            if (w->parentWidget() == root) controls.push_back(w);
    };
    collect(window.get());  // before the dialogs become its children
    CServerSettingsDlg settings(CHoldPeriod(3 * DAY), window.get());
    CServerSettingsDlg noted(CHoldPeriod(3600), window.get());
    CServerAboutDlg about(window.get());
    collect(&settings);
    collect(&noted);
    collect(&about);
    EXPECT_EQ(controls.size(), 24u);
    for (QWidget* w : controls)
        EXPECT_FALSE(w->accessibleName().isEmpty()) << w->metaObject()->className();

    const auto spoken = [&] {
        QAccessibleInterface* count = QAccessible::queryAccessibleInterface(window->countText());
        std::string label;
        for (const auto& [other, relation] : count->relations(QAccessible::Label))
            label += other->text(QAccessible::Name).toStdString();
        return count->text(QAccessible::Name).toStdString() + " / " + label;
    };
    EXPECT_EQ(spoken(), "2 / 登録ユーザー数");
    window->userList()->setCurrentRow(0);
    QTest::mouseClick(window->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(spoken(), "1 / 登録ユーザー数");
}

}  // namespace
}  // namespace tovi::test
