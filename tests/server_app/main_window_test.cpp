// The server window over a real worker on 127.0.0.1: the user list and its reload, deletion,
// the holding-period dialog and what the worker makes of it, the tray, the shut-down question
// and the about box. The decisions behind them are tested in decisions_test.cpp; these cases
// check the wiring.
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "server/app/server_about_dlg.h"
#include "server/app/server_app.h"
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

// The recipients of the whole records of a held-mail store.
Names heldFor(const std::string& storePath) {
    const std::string data = contents(storePath);
    Names out;
    for (size_t off = 0, length; off + 28 <= data.size(); off += 28 + length) {
        length = static_cast<size_t>(getInt32(data.data() + off + 24));
        if (length > data.size() - off - 28) break;
        out.push_back(data.substr(off, 20).c_str());
    }
    return out;
}

class ServerWindow : public ::testing::Test {
  protected:
    void TearDown() override {
        window.reset();
        app.reset();
        CFileFaults::reset();
    }
    // Starts the server in a fresh directory with these settings lines, users and held mail.
    void startServer(const std::string& settings = "", const std::string& users = "",
                     const std::string& store = "") {
        qtApp();
        ASSERT_TRUE(replaceFileAtomically(
            ini(), "[SERVER]\nPORT=" + std::to_string(freePort()) + "\n" + settings));
        ASSERT_TRUE(users.empty() || replaceFileAtomically(dir.file("TovisUser.dat"), users));
        ASSERT_TRUE(store.empty() || replaceFileAtomically(storeFile(), store));
        app = std::make_unique<CServerApp>(dir.path);
        ASSERT_EQ(app->start(), CServerApp::START_OK);
        port = app->listeningPort();
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
    std::unique_ptr<CRawClient> enter(const std::string& name) {
        auto client = std::make_unique<CRawClient>();
        EXPECT_TRUE(client->enter(port, name)) << name;
        return client;
    }
    // Opens the holding-period dialog and runs step on it.
    void inSettingsDialog(std::function<void(CServerSettingsDlg*)> step) {
        bool reached = false;
        whenModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<CServerSettingsDlg*>(modal);
            reached = dialog != nullptr;
            if (dialog == nullptr) return modal->close(), void();
            step(dialog);
            if (dialog->isVisible()) dialog->reject();
        });
        QTest::mouseClick(window->settingsButton(), Qt::LeftButton);
        EXPECT_TRUE(reached);
    }
    std::string ini() const { return dir.file("Tovis.ini"); }
    std::string storeFile() const { return dir.file("TovisBackMail.dat"); }

    TempDir dir;
    CScriptedMessageBoxes boxes;
    std::unique_ptr<CServerApp> app;
    std::unique_ptr<CServerMainDlg> window;
    int port = 0;
};

TEST_F(ServerWindow, ListsTheRegisteredUsersSortedAndReloadsByButtonAndEnter) {
    startServer();
    auto carol = enter("carol"), alice = enter("Alice"), bob = enter("bob");
    openWindow();
    EXPECT_EQ(window->windowTitle().toStdString(), "トヴィカサーバー");
    EXPECT_EQ(listed(), (Names{"Alice", "bob", "carol"}));
    EXPECT_EQ(count(), "3");

    // A registration shows only after a reload.
    auto dave = enter("dave");
    EXPECT_EQ(count(), "3");
    QTest::mouseClick(window->reloadButton(), Qt::LeftButton);
    EXPECT_EQ(listed(), (Names{"Alice", "bob", "carol", "dave"}));
    EXPECT_EQ(count(), "4");

    // Enter reloads, also with the focus on the list or on another button.
    auto eve = enter(cp932("江戸"));
    window->userList()->setFocus();
    QTest::keyClick(window->userList(), Qt::Key_Return);
    EXPECT_EQ(count(), "5");
    EXPECT_EQ(listed().back(), "江戸");
    auto frank = enter("frank");
    window->deleteButton()->setFocus();
    QTest::keyClick(window->deleteButton(), Qt::Key_Return);
    EXPECT_EQ(count(), "6");
}

TEST_F(ServerWindow, DeletingTheSelectedUserDisconnectsItsClientAndRemovesItForGood) {
    startServer();
    auto alice = enter("alice"), bob = enter("bob"), carol = enter("carol");
    openWindow();
    // Nothing selected: nothing happens.
    QTest::mouseClick(window->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(count(), "3");

    window->userList()->setCurrentRow(1);
    QTest::mouseClick(window->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(listed(), (Names{"alice", "carol"}));
    EXPECT_EQ(count(), "2");
    EXPECT_TRUE(bob->waitClosed(5000));
    EXPECT_TRUE(processUntil([&] {
        window->reload();
        return listed() == Names{"alice", "carol"};
    }));
    EXPECT_TRUE(alice->answersUserList());
    // The deletion left nothing selected: a second press deletes nobody.
    QTest::mouseClick(window->deleteButton(), Qt::LeftButton);
    EXPECT_EQ(count(), "2");
    // The name is free again.
    auto newBob = std::make_unique<CRawClient>();
    ASSERT_TRUE(newBob->connect(port));
    EXPECT_EQ(newBob->login("bob"), LOGIN_UNKNOWN_NAME);
}

// Held mail for the hold-limit cases: bob's own, and mail 8 and 12 days old for carol and dave.
class HoldLimit : public ServerWindow {
  protected:
    void startWith(const std::string& holdLimit) {
        const int32_t now = nowSeconds();
        startServer("DELLIMIT=" + holdLimit + "\n",
                    userRecord("bob") + userRecord("carol") + userRecord("dave"),
                    heldRecord("bob", now, "for bob") +
                        heldRecord("carol", now - 8 * DAY, "eight days") +
                        heldRecord("dave", now - 12 * DAY, "twelve days"));
        openWindow();
    }
    // bob logs in and gets his mail: the worker has applied its hold limit to the store.
    void handOverToBob() {
        auto bob = enter("bob");
        EXPECT_EQ(bob->nextDeliveryText(), "for bob");
    }
    std::string receivedBy(const std::string& name) { return enter(name)->nextDeliveryText(); }
};

TEST_F(HoldLimit, TenDaysOpenTickedOkWithSevenWritesItAndTheWorkerDropsOlderMail) {
    startWith("864000");
    inSettingsDialog([](CServerSettingsDlg* dialog) {
        EXPECT_EQ(dialog->windowTitle().toStdString(), "設定");
        EXPECT_TRUE(dialog->deleteOldBox()->isChecked());
        EXPECT_TRUE(dialog->daysEdit()->isEnabled());
        EXPECT_EQ(dialog->daysEdit()->text().toStdString(), "10");
        dialog->daysEdit()->selectAll();
        QTest::keyClicks(dialog->daysEdit(), "7");
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(contents(ini()).substr(contents(ini()).find("DELLIMIT")), "DELLIMIT=604800\n");
    EXPECT_TRUE(boxes.texts().empty());
    handOverToBob();
    EXPECT_TRUE(eventually([&] { return heldFor(storeFile()).empty(); }));
}

TEST_F(HoldLimit, ClearingTheBoxWritesZeroAndHeldMailIsKeptForEver) {
    startWith("864000");
    inSettingsDialog([](CServerSettingsDlg* dialog) {
        QTest::mouseClick(dialog->deleteOldBox(), Qt::LeftButton);
        EXPECT_FALSE(dialog->daysEdit()->isEnabled());
        EXPECT_TRUE(dialog->daysEdit()->text().isEmpty());
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    EXPECT_NE(contents(ini()).find("DELLIMIT=0\n"), std::string::npos);
    handOverToBob();
    EXPECT_EQ(receivedBy("dave"), "twelve days");
}

TEST_F(HoldLimit, AnHourSetByHandIsNotTurnedIntoForEverByAnUnchangedOk) {
    startWith("3600");
    const std::string before = contents(ini());
    inSettingsDialog([](CServerSettingsDlg* dialog) {
        EXPECT_FALSE(dialog->deleteOldBox()->isChecked());
        EXPECT_FALSE(dialog->daysEdit()->isEnabled());
        EXPECT_TRUE(dialog->daysEdit()->text().isEmpty());
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(contents(ini()), before);
    // The worker still drops what is older than an hour.
    handOverToBob();
    EXPECT_TRUE(eventually([&] { return heldFor(storeFile()).empty(); }));
}

TEST_F(HoldLimit, AHandSetLimitConfirmedUnchangedIsLeftAloneAndTheDaysTakeDigitsOnly) {
    // Nine days and an hour: shown as 9 days, kept as it is when nothing is changed.
    startWith("781200");
    const std::string before = contents(ini());
    inSettingsDialog([](CServerSettingsDlg* dialog) {
        EXPECT_EQ(dialog->daysEdit()->text().toStdString(), "9");
        // Ticked with no days, or 0 days, cannot be confirmed; a minus sign cannot be typed.
        dialog->daysEdit()->clear();
        EXPECT_FALSE(dialog->okButton()->isEnabled());
        QTest::keyClicks(dialog->daysEdit(), "-0");
        EXPECT_EQ(dialog->daysEdit()->text().toStdString(), "0");
        EXPECT_FALSE(dialog->okButton()->isEnabled());
        QTest::keyClick(dialog->daysEdit(), Qt::Key_Return);
        EXPECT_TRUE(dialog->isVisible());
        dialog->daysEdit()->clear();
        QTest::keyClicks(dialog->daysEdit(), "123456");
        EXPECT_EQ(dialog->daysEdit()->text().toStdString(), "1234");
        dialog->daysEdit()->clear();
        QTest::keyClicks(dialog->daysEdit(), "9");
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(contents(ini()), before);
    EXPECT_TRUE(boxes.texts().empty());
    // The worker still drops mail older than 781200 s (dave's), not carol's.
    handOverToBob();
    EXPECT_TRUE(eventually([&] { return heldFor(storeFile()) == Names{"carol"}; }));
}

TEST_F(HoldLimit, AFailedWriteShowsBothBoxesAndTheWorkerKeepsItsLimit) {
    startWith("864000");
    CFileFaults::failRenamesTo("Tovis.ini");
    inSettingsDialog([](CServerSettingsDlg* dialog) {
        dialog->daysEdit()->clear();
        QTest::keyClicks(dialog->daysEdit(), "7");
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    CFileFaults::reset();
    EXPECT_EQ(boxes.texts(), (Names{cp932("初期化ファイルに設定失敗"),
                                    cp932("初期化ファイル書き込みでエラー発生\n")}));
    EXPECT_NE(contents(ini()).find("DELLIMIT=864000\n"), std::string::npos);
    // Ten days are still in force, in the worker and in the dialog.
    handOverToBob();
    EXPECT_EQ(receivedBy("carol"), "eight days");
    inSettingsDialog([](CServerSettingsDlg* dialog) {
        EXPECT_EQ(dialog->daysEdit()->text().toStdString(), "10");
    });
}

TEST_F(ServerWindow, HidesIntoTheTrayAndALeftClickAloneBringsItBack) {
    startServer();
    openWindow<CTrayedMainDlg>();
    CTrayIcon& tray = window->trayIcon();
    EXPECT_EQ(tray.toolTip().toStdString(), "トヴィカサーバー");
    const QPoint where(40, 30);
    window->move(where);

    QTest::mouseClick(window->hideButton(), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(tray.isVisible());
    emit tray.systemTrayIcon().activated(QSystemTrayIcon::Context);
    emit tray.systemTrayIcon().activated(QSystemTrayIcon::DoubleClick);
    emit tray.systemTrayIcon().activated(QSystemTrayIcon::MiddleClick);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(tray.isVisible());
    emit tray.systemTrayIcon().activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(tray.isVisible());
    EXPECT_EQ(window->pos(), where);

    // Esc and the close box hide it too; the window stays open and the server goes on.
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(tray.isVisible());
    emit tray.systemTrayIcon().activated(QSystemTrayIcon::Trigger);
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(tray.isVisible());
    EXPECT_TRUE(enter("alice")->answersUserList());
}

TEST_F(ServerWindow, TheProgramGoesOnWhileTheWindowIsInTheTrayAndEndsAtTheShutDown) {
    startServer();
    window = std::make_unique<CTrayedMainDlg>(*app);
    bool ranWhileHidden = false;
    QTimer::singleShot(0, [&] { QTest::mouseClick(window->hideButton(), Qt::LeftButton); });
    QTimer::singleShot(50, [&] {
        ranWhileHidden = !window->isVisible() && window->trayIcon().isVisible();
        emit window->trayIcon().systemTrayIcon().activated(QSystemTrayIcon::Trigger);
        boxes.queueAnswer(IDOK);
        QTest::mouseClick(window->shutDownButton(), Qt::LeftButton);
    });
    CWindowedServer::runMainWindow(*window);
    EXPECT_TRUE(ranWhileHidden);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->trayIcon().isVisible());
}

TEST_F(ServerWindow, AStopSignalWhileADialogIsOpenCancelsItAndEndsTheWindow) {
    startServer("DELLIMIT=864000\n");
    const std::string before = contents(ini());
    window = std::make_unique<CServerMainDlg>(*app);
    bool dialogWasOpen = false;
    whenModal([&](QWidget* modal) {
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

TEST_F(ServerWindow, WithoutATrayHidingMinimisesSoTheWindowCanComeBack) {
    startServer();
    openWindow();
    QTest::mouseClick(window->hideButton(), Qt::LeftButton);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
    EXPECT_FALSE(window->trayIcon().isVisible());
}

TEST_F(ServerWindow, TheShutDownQuestionKeepsEverythingOnCancelAndEndsTheServerOnOk) {
    startServer();
    auto alice = enter("alice");
    openWindow();
    boxes.queueAnswer(IDCANCEL);
    QTest::mouseClick(window->shutDownButton(), Qt::LeftButton);
    ASSERT_EQ(boxes.shown().size(), 1u);
    EXPECT_EQ(boxes.shown()[0].text,
              cp932("サーバーを終了すると接続中の全クライアントは切断されます。\n終了しますか？"));
    EXPECT_EQ(boxes.shown()[0].buttons, MB_OKCANCEL);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(alice->answersUserList());

    boxes.queueAnswer(IDOK);
    QTest::mouseClick(window->shutDownButton(), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Accepted);
    // What the program does once the window has closed.
    EXPECT_TRUE(app->stop());
    EXPECT_TRUE(alice->waitClosed(6000));
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
    EXPECT_TRUE(processUntil([&] { return !title.empty(); }));
    timer->stop();
    EXPECT_EQ(entry, "ﾊﾞｰｼﾞｮﾝ情報(Tovis) (&A)...");
    EXPECT_EQ(title, "ﾊﾞｰｼﾞｮﾝ情報 Tovis");
    EXPECT_EQ(line, "トヴィカサーバー Version 1.1.0.2");
}

TEST_F(ServerWindow, EveryControlCarriesAnAccessibleName) {
    startServer();
    openWindow();
    std::vector<QWidget*> controls;
    for (QWidget* w : window->findChildren<QWidget*>())
        if (w->parentWidget() == window.get()) controls.push_back(w);
    CServerSettingsDlg settings(CHoldPeriod(3 * DAY), window.get());
    for (QWidget* w : settings.findChildren<QWidget*>())
        if (w->parentWidget() == &settings) controls.push_back(w);
    CServerAboutDlg about(window.get());
    for (QWidget* w : about.findChildren<QWidget*>())
        if (w->parentWidget() == &about) controls.push_back(w);
    EXPECT_EQ(controls.size(), 17u);
    for (QWidget* w : controls)
        EXPECT_FALSE(w->accessibleName().isEmpty()) << w->metaObject()->className();
}

}  // namespace
}  // namespace tovi::test
