// The main window's wiring on the offscreen platform, against a scripted server that accepts
// every log-in: layout and names, the box selector, Enter and Delete, the exit question, the tray
// fallback and the announcements of new mail.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <fstream>

#include "client/connection/message_file.h"
#include "client/dialogs/mail_view_dlg.h"
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
        const QFontMetrics metrics(list->font());
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(list->headerItem()->text(c), headers[box][c]);
            const QString sizing = headers[box][c] + (c == 0 ? "　" : "  　");
            EXPECT_EQ(list->columnWidth(c), metrics.horizontalAdvance(sizing)) << c;
        }
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
    EXPECT_EQ(CClientMainDlg::aboutEntryText(), QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(Tovic) (&A)..."));
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

TEST(MainWindow, ANewMailDirectoryTakesTheMailAlong) {
    Fixture f;
    ASSERT_TRUE(f.client.loggedIn());
    writeMail(f.client.mailDir, "_TovicR17000000010", 0, 0, "kept");
    f.w().reloadLists();
    const std::string newDir = f.dir.path + "elsewhere/";
    f.boxes.queueAnswer(IDOK);  // "create the directory?"
    ModalDriver driver([&](QWidget* modal) {
        if (qobject_cast<CUserSettingsDlg*>(modal) == nullptr) return;
        setLine(modal, QStringLiteral("ユーザーディレクトリ"), QString::fromStdString(newDir));
        click(modal, QStringLiteral("OK"));
    });
    f.w().menuBar()->actions().at(0)->menu()->actions().at(1)->trigger();  // その他の設定(&O)
    EXPECT_EQ(f.client.app->settings().dir(), newDir);
    EXPECT_TRUE(fileExists(newDir + "_TovicR17000000010"));
    EXPECT_FALSE(fileExists(f.client.mailDir + "_TovicR17000000010"));
    EXPECT_EQ(f.client.cell(INBOX, 0, 3), QStringLiteral("kept"));
    // The next tick starts the receive worker again, on the new directory.
    EXPECT_TRUE(pump([&] { return f.w().control().receiveWorkerRunning(); }, 3000));
    EXPECT_EQ(f.boxes.texts(), Names{cp932("ディレクトリは存在しません。新規に作成しますか？")});
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
