// The main window's wiring on the offscreen platform, against a scripted server that accepts
// every log-in: layout and names, the box selector, Enter and Delete, the exit question, the tray
// fallback and the announcements of new mail.
#include <gtest/gtest.h>

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <fstream>

#include "client/connection/message_file.h"
#include "client/dialogs/mail_view_dlg.h"
#include "client/dialogs/move_progress_dlg.h"
#include "client/dialogs/user_settings_dlg.h"
#include "client_app_support.h"
#include "qt_support.h"
#include "ui/qt/tray_icon.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

void writeMail(const std::string& dir, const std::string& name, int32_t box, int32_t token,
               const std::string& title) {
    std::ofstream(dir + name, std::ios::binary)
        << mailBytes("alice", 1700000000, box, "bob", token, "[Subject]:_[" + title + "]_body");
}

struct Fixture {
    CScriptedMessageBoxes boxes;
    ScriptedServer server{acceptingServer};
    TempDir dir;
    ClientWindow client{dir.path, server.port(), "alice", "sales"};
    CClientMainDlg& w() { return *client.window; }
};

TEST(MainWindow, TextsColumnsAndAccessibleNames) {
    Fixture f;
    EXPECT_EQ(f.w().windowTitle(), QStringLiteral("トヴィカ"));
    EXPECT_EQ(f.w().boxSelector()->itemText(0) + f.w().boxSelector()->itemText(1),
              QStringLiteral("受信ボックス送信ボックス"));
    const QStringList headers[2] = {
        {"読", "相手送信日時　　　　", "送信者名　　　", "タイトル　　　"},
        {"読", "送信日時　　　　　　", "送信先　　　　", "タイトル　　　"}};
    for (int box : {INBOX, SENT_BOX}) {
        QTreeWidget* list = f.w().list(box);
        // Each header is shown whole (its rendered size, margins included, fits its column), and
        // so is a date in the date column; the four columns fit the list.
        const QFontMetrics metrics(list->font());
        int total = 0;
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(list->headerItem()->text(c), headers[box][c]);
            EXPECT_GE(list->columnWidth(c), list->header()->sectionSizeHint(c)) << c;
            total += list->columnWidth(c);
        }
        EXPECT_GE(list->columnWidth(1),
                  metrics.horizontalAdvance(QStringLiteral("2026/12/07  09:05:16")) + 6);
        EXPECT_LE(total, list->contentsRect().width()) << list->width();
        EXPECT_FALSE(list->header()->sectionsClickable());
        EXPECT_EQ(list->isVisible(), box == INBOX);
    }
    const char* const buttons[] = {"表示", "閉じる", "新規メール送信", "タスクバーへ", "削除"};
    for (int id = 1; id <= 5; ++id)
        EXPECT_EQ(f.w().button(id)->accessibleName(), QString::fromUtf8(buttons[id - 1]));
    EXPECT_FALSE(f.w().button(2)->isVisible());
    EXPECT_TRUE(f.w().button(1)->isDefault());
    QAction* settings = f.w().menuBar()->actions().at(0);
    EXPECT_EQ(settings->text(), QStringLiteral("設定(&S)"));
    ASSERT_EQ(settings->menu()->actions().size(), 2);
    EXPECT_EQ(settings->menu()->actions().at(0)->text(), QStringLiteral("接続に関する設定(&C)"));
    EXPECT_EQ(settings->menu()->actions().at(1)->text(), QStringLiteral("その他の設定(&O)"));
}

// The about box is reached through the window's real context menu.
TEST(MainWindow, TheContextMenuOffersTheAboutBox) {
    Fixture f;
    QStringList entries;
    bool aboutShown = false;
    QTimer menuWatch;
    menuWatch.setInterval(10);
    QObject::connect(&menuWatch, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr || !entries.isEmpty()) return;
        for (QAction* a : menu->actions()) entries << a->text();
        menu->setActiveAction(menu->actions().value(0));
        QTest::keyClick(menu, Qt::Key_Return);
    });
    menuWatch.start();
    ModalDriver driver([&](QWidget* modal) {
        if (modal->windowTitle() != QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報 Tovic")) return;
        aboutShown = true;
        click(modal, QStringLiteral("OK"));
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20),
                            f.w().mapToGlobal(QPoint(20, 20)));
    QApplication::sendEvent(&f.w(), &event);
    EXPECT_TRUE(pump([&] { return aboutShown; }, 5000));
    EXPECT_EQ(entries, QStringList{QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(Tovic) (&A)...")});
}

TEST(MainWindow, EnterOpensTheInboxSelectionFirstAndDeleteActsOnTheShownList) {
    Fixture f;
    writeMail(f.client.mailDir, "_TovicR17000000010", 0, 0, "in");
    writeMail(f.client.mailDir, "_TovicS1700000001", 1, 1, "out");
    f.w().reloadLists();
    ASSERT_EQ(f.client.rows(INBOX), 1);
    ASSERT_EQ(f.client.rows(SENT_BOX), 1);
    f.w().list(INBOX)->topLevelItem(0)->setSelected(true);
    f.w().boxSelector()->setCurrentIndex(SENT_BOX);
    EXPECT_TRUE(f.w().list(SENT_BOX)->isVisible());
    EXPECT_FALSE(f.w().list(INBOX)->isVisible());
    f.w().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f.w()));
    f.w().boxSelector()->setFocus();

    // Enter with the sent box shown opens the inbox's selected message.
    QString opened;
    ModalDriver driver([&](QWidget* modal) {
        if (auto* view = qobject_cast<CMailViewDlg*>(modal)) {
            opened = QString::fromStdString(view->title());
            click(view, QStringLiteral("閉じる"));
        }
    });
    QTest::keyClick(f.w().boxSelector(), Qt::Key_Return);
    EXPECT_TRUE(pump([&] { return !opened.isEmpty(); }, 5000));
    EXPECT_EQ(opened, QStringLiteral("in"));

    f.w().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f.w()));
    // The Delete key with the focus in the selector: nothing is selected in the shown sent box,
    // so the inbox message the user cannot see stays; then the sent one goes.
    QTest::keyClick(f.w().boxSelector(), Qt::Key_Delete);
    EXPECT_TRUE(fileExists(f.client.mailDir + "_TovicR17000000010"));
    f.w().list(SENT_BOX)->topLevelItem(0)->setSelected(true);
    QTest::keyClick(f.w().boxSelector(), Qt::Key_Delete);
    EXPECT_TRUE(pump([&] { return f.client.rows(SENT_BOX) == 0; }, 3000));
    EXPECT_FALSE(fileExists(f.client.mailDir + "_TovicS1700000001"));
    EXPECT_EQ(f.client.rows(INBOX), 1);
}

TEST(MainWindow, ExitQuestionCancelKeepsRunningOkEndsAndAnUnsentRequestIsReported) {
    Fixture f;
    ASSERT_TRUE(f.client.loggedIn());
    f.boxes.queueAnswer(IDCANCEL);
    f.w().reject();  // Esc
    EXPECT_EQ(f.boxes.texts(), Names{cp932("トヴィカを終了します。")});
    EXPECT_FALSE(f.w().ended());
    EXPECT_TRUE(f.w().isVisible());

    // A request no worker will take gets its moment at exit, then its failure is shown.
    f.w().control().killWorkers(1);
    ASSERT_TRUE(f.w().control().postRequest(PKT_USERLIST_REQ, std::string(24, '\0').data(), 24));
    f.boxes.queueAnswer(IDOK);
    f.w().close();  // the close box
    EXPECT_EQ(f.boxes.texts(),
              (Names{cp932("トヴィカを終了します。"), cp932("トヴィカを終了します。"),
                     cp932("メッセージの送信に失敗しました。\n")}));
    EXPECT_TRUE(f.w().ended());
    EXPECT_FALSE(f.w().isVisible());
    EXPECT_FALSE(f.w().control().postRequest(PKT_USERLIST_REQ, "", 0));
}

// Mail received while the mail directory is missing is kept; the exit question says how much
// would be lost; choosing a new directory stores it there, after the mail that was moved along,
// behind the progress dialog and with the receive worker stopped until the move has ended.
TEST(MainWindow, ANewMailDirectoryTakesTheMailAlongAndStoresTheMailKeptMeanwhile) {
    CScriptedMessageBoxes boxes;
    ScriptedServer server([](const std::string& frameBytes) {
        if (getInt32(frameBytes.data()) != PKT_LOGIN) return std::string();
        return result(PKT_LOGIN_RESULT, 0) +
               delivery(1700000100, MAIL_MESSAGE, "bob", 1, "[Subject]:_[k1]_") +
               delivery(1700000101, MAIL_MESSAGE, "bob", 1, "[Subject]:_[k2]_");
    });
    TempDir dir;
    const std::string mailDir = dir.path + "mail/";
    ASSERT_TRUE(makeDirectories(mailDir));
    writeMail(mailDir, "_TovicR17000000010", 0, 0, "kept");
    ASSERT_TRUE(replaceFileAtomically(mailDir + "_TovicR17000000020",
                                      mailBytes("alice", 1700000001, 0, "bob", 0, "x")));
    ASSERT_TRUE(replaceFileAtomically(dir.path + "Tovic.ini",
                                      clientIni(server.port(), "alice", "g", dir.path + "gone/")));
    ClientWindow client(dir.path, server.port(), "alice", "g");
    CClientMainDlg& w = *client.window;
    ASSERT_TRUE(pump([&] { return w.control().unsavedCount() == 2; }, 10000));
    const std::string lost = cp932(
        "保存できていない受信メールが 2 通あります。\n終了するとこのメールは失われます。\n"
        "トヴィカを終了します。");
    boxes.queueAnswer(IDCANCEL);
    w.reject();
    EXPECT_EQ(boxes.texts().back(), lost);
    ASSERT_FALSE(w.ended());

    const std::string newDir = dir.path + "elsewhere/";
    ASSERT_TRUE(makeDirectories(newDir));
    // Moved from the old directory first (a directory the user had before the missing one).
    ASSERT_EQ(client.app->settings().setUserOptions(mailDir, 0, 0, 0, 0), 0);
    bool progressShown = false, receiverStoppedDuringMove = true;
    ModalDriver driver([&](QWidget* modal) {
        if (qobject_cast<CUserSettingsDlg*>(modal) != nullptr) {
            setLine(modal, QStringLiteral("ユーザーディレクトリ"), QString::fromStdString(newDir));
            click(modal, QStringLiteral("OK"));
        } else if (qobject_cast<CMoveProgressDlg*>(modal) != nullptr) {
            progressShown = true;
            receiverStoppedDuringMove = !w.control().receiveWorkerRunning();
            EXPECT_EQ(modal->windowTitle(), QStringLiteral("メールを移動しています"));
        }
    });
    w.menuBar()->actions().at(0)->menu()->actions().at(1)->trigger();  // その他の設定(&O)
    EXPECT_TRUE(progressShown);
    EXPECT_TRUE(receiverStoppedDuringMove);
    EXPECT_EQ(client.app->settings().dir(), newDir);
    EXPECT_FALSE(fileExists(mailDir + "_TovicR17000000010"));
    // The next tick starts the receive worker on the new directory: it stores the kept mail.
    EXPECT_TRUE(pump([&] { return w.control().unsavedCount() == 0; }, 5000));
    EXPECT_TRUE(pump([&] { return client.rows(INBOX) == 4; }, 5000));
    EXPECT_EQ(findFiles(newDir, "_TovicR1*").size(), 4u);
}

// A file that would overwrite one in the new directory stays behind, and the user is told how
// many did.
TEST(MainWindow, AMoveThatLeavesFilesBehindSaysHowMany) {
    Fixture f;
    const std::string newDir = f.dir.path + "elsewhere/";
    ASSERT_TRUE(makeDirectories(newDir));
    for (const char* name : {"_TovicR17000000010", "_TovicR17000000020", "_TovicR17000000030"})
        writeMail(f.client.mailDir, name, 0, 0, "old");
    writeMail(newDir, "_TovicR17000000010", 0, 0, "there");
    writeMail(newDir, "_TovicR17000000020", 0, 0, "there");
    ModalDriver driver([&](QWidget* modal) {
        if (qobject_cast<CUserSettingsDlg*>(modal) == nullptr) return;
        setLine(modal, QStringLiteral("ユーザーディレクトリ"), QString::fromStdString(newDir));
        click(modal, QStringLiteral("OK"));
    });
    f.w().changeUserOptions();
    EXPECT_EQ(
        f.boxes.texts(),
        Names{cp932(
            "メールの移動に失敗しました。\n2 件のメールが元のディレクトリに残っています。\n")});
    EXPECT_EQ(findFiles(f.client.mailDir, "_TovicR1*").size(), 2u);
    EXPECT_EQ(f.client.rows(INBOX), 3);
}

// The pause after a worker start keeps the window painting and answering.
TEST(MainWindow, TheWindowPaintsDuringThePauseAfterAWorkerStart) {
    Fixture f;
    CClientMainDlg& w = f.w();
    w.control().setStartPauseMs(800);
    w.control().killWorkers(1);
    int64_t paintedAt = 0;
    struct PaintWatch : QObject {
        int64_t& at;
        explicit PaintWatch(int64_t& a) : at(a) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint && at == 0) at = monotonicMs();
            return false;
        }
    } watch(paintedAt);
    w.list(INBOX)->viewport()->installEventFilter(&watch);
    QTimer::singleShot(100, [&] { w.list(INBOX)->viewport()->update(); });
    const int64_t started = monotonicMs();
    w.control().startWorkers(true, false);
    const int64_t ended = monotonicMs();
    EXPECT_GE(ended - started, 750);
    ASSERT_NE(paintedAt, 0);
    EXPECT_LT(paintedAt, ended - 300);
}

TEST(MainWindow, WithoutATrayTheWindowIsMinimisedAndAnnouncementsBringItBack) {
    Fixture f;
    ASSERT_FALSE(CTrayIcon::isAvailable());
    ASSERT_EQ(f.client.app->settings().setUserOptions(f.client.mailDir, 1, 1, 0, 0), 0);
    f.w().toTray();
    EXPECT_TRUE(f.w().isMinimized());
    // New mail with BEEP and WINUP: a beep, the window back, the list reloaded.
    writeMail(f.client.mailDir, "_TovicR17000000010", 0, 5, "new");
    ASSERT_TRUE(CMessageFile::raiseFlag(f.client.mailDir, CMessageFile::RECEIVED_FLAG));
    EXPECT_TRUE(pump([&] { return f.client.rows(INBOX) == 1; }, 3000));
    EXPECT_EQ(f.client.cell(INBOX, 0, 0), QStringLiteral("●"));
    EXPECT_FALSE(f.w().isMinimized());
    EXPECT_EQ(f.boxes.beeps(), 1);
    EXPECT_FALSE(fileExists(f.client.mailDir + CMessageFile::RECEIVED_FLAG));
    // A read notice with READBEEP and READWINUP clear: only listed.
    writeMail(f.client.mailDir, "_TovicS1700000001", 1, 0, "read");
    f.w().toTray();
    ASSERT_TRUE(CMessageFile::raiseFlag(f.client.mailDir, CMessageFile::SENT_FLAG));
    EXPECT_TRUE(pump([&] { return f.client.rows(SENT_BOX) == 1; }, 3000));
    EXPECT_TRUE(f.w().isMinimized());
    EXPECT_EQ(f.boxes.beeps(), 1);
}

}  // namespace
}  // namespace tovi::test
