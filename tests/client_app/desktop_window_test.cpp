// The main window's desktop additions on the offscreen platform (no tray there, so "タスクバーへ"
// minimises): the unread count through arrivals, a click on a notification, opening, deleting and
// switching boxes; the notifications a reload gives; the find bar and the commands on the rows it
// leaves.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <fstream>

#include "client/connection/message_file.h"
#include "client/dialogs/mail_view_dlg.h"
#include "client/dialogs/user_settings_dlg.h"
#include "client_app_support.h"
#include "qt_support.h"
#include "ui/qt/tray_icon.h"
#include "ui/scripted_desktop_notifier.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

void writeMail(const std::string& dir, const std::string& name, int32_t token,
               const std::string& peer, const std::string& title, const std::string& body) {
    std::ofstream(dir + name, std::ios::binary)
        << mailBytes("alice", 1700000000, 0, peer, token, "[Subject]:_[" + title + "]_" + body);
}

struct Fixture {
    CScriptedMessageBoxes boxes;
    CScriptedDesktopNotifier notes;
    ScriptedServer server{acceptingServer};
    TempDir dir;
    ClientWindow client{dir.path, server.port(), "alice", "sales"};
    CClientMainDlg& w() { return *client.window; }
    // A received mail as the receive worker leaves it: the file, then the flag.
    void arrive(const std::string& name, const char* peer, const char* title) {
        writeMail(client.mailDir, name, 7, peer, cp932(title), "body");
        ASSERT_TRUE(CMessageFile::raiseFlag(client.mailDir, CMessageFile::RECEIVED_FLAG));
    }
    void expectCount(const char* badge, const char* tip, const char* title) {
        EXPECT_EQ(w().trayIcon()->badge(), QString::fromUtf8(badge));
        EXPECT_EQ(w().trayIcon()->toolTip(), QString::fromUtf8(tip));
        EXPECT_EQ(w().windowTitle(), QString::fromUtf8(title));
    }
};

TEST(DesktopWindow, UnreadCountAndNotificationsThroughArrivalsOpeningAndDeleting) {
    Fixture f;
    ASSERT_TRUE(f.client.loggedIn());  // opening a mail sends its read notice
    f.w().toTray();
    ASSERT_TRUE(f.w().isMinimized());
    f.expectCount("", "トヴィカ", "トヴィカ");

    f.arrive("_TovicR17000000010", "bob", "試験");
    ASSERT_TRUE(pump([&] { return f.client.rows(INBOX) == 1; }, 3000));
    f.expectCount("1", "トヴィカ（未読 1）", "トヴィカ（未読 1）");
    ASSERT_EQ(f.notes.notes().size(), 1u);
    EXPECT_EQ(f.notes.notes()[0].summary, cp932("新着メール"));
    EXPECT_EQ(f.notes.notes()[0].body, cp932("bob\n試験"));

    // A click on the notification brings the window back; the count stays on the icon only.
    f.notes.click(DesktopNote::NEW_MAIL);
    EXPECT_FALSE(f.w().isMinimized());
    f.expectCount("1", "トヴィカ（未読 1）", "トヴィカ");

    // Two more while the window is in front: counted, not announced.
    f.w().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f.w()));
    f.arrive("_TovicR17000000020", "carol", "会議");
    ASSERT_TRUE(pump([&] { return f.client.rows(INBOX) == 2; }, 3000));
    f.arrive("_TovicR17000000030", "dave", "雑談");
    ASSERT_TRUE(pump([&] { return f.client.rows(INBOX) == 3; }, 3000));
    f.expectCount("3", "トヴィカ（未読 3）", "トヴィカ");
    EXPECT_EQ(f.notes.notes().size(), 1u);

    // Opening one, deleting one, switching boxes.
    ModalDriver driver([&](QWidget* modal) {
        if (auto* view = qobject_cast<CMailViewDlg*>(modal)) click(view, QStringLiteral("閉じる"));
    });
    f.w().openMail(0, true);
    f.expectCount("2", "トヴィカ（未読 2）", "トヴィカ");
    f.w().list(INBOX)->topLevelItem(1)->setSelected(true);
    f.w().deleteMail();
    f.expectCount("1", "トヴィカ（未読 1）", "トヴィカ");
    f.w().boxSelector()->setCurrentIndex(SENT_BOX);
    f.expectCount("1", "トヴィカ（未読 1）", "トヴィカ");
    f.w().boxSelector()->setCurrentIndex(INBOX);
    driver.last = nullptr;    // the next view may live where the last one did
    f.w().openMail(1, true);  // bob's (dave's, on top, is read)
    f.expectCount("", "トヴィカ", "トヴィカ");

    // NOTIFY turned off in "その他の設定(&O)": stored once changed, and nothing is announced.
    EXPECT_EQ(contents(f.client.configDir + "Tovic.ini").find("NOTIFY"), std::string::npos);
    {
        ModalDriver settings([&](QWidget* modal) {
            if (qobject_cast<CUserSettingsDlg*>(modal) == nullptr) return;
            named<QCheckBox>(modal, QStringLiteral("メッセージ到着時にデスクトップ通知を表示する"))
                ->setChecked(false);
            click(modal, QStringLiteral("OK"));
        });
        f.w().changeUserOptions();
    }
    EXPECT_EQ(f.client.app->settings().notify(), 0);
    EXPECT_NE(contents(f.client.configDir + "Tovic.ini").find("NOTIFY=0"), std::string::npos);
    f.w().toTray();
    f.arrive("_TovicR17000000040", "erin", "昼食");
    ASSERT_TRUE(pump([&] { return f.client.rows(INBOX) == 3; }, 3000));
    EXPECT_EQ(f.notes.notes().size(), 1u);
    f.expectCount("1", "トヴィカ（未読 1）", "トヴィカ（未読 1）");
}

TEST(DesktopWindow, FindBarFiltersTheShownBoxAndCommandsActOnTheRowsShown) {
    Fixture f;
    writeMail(f.client.mailDir, "_TovicR17000000010", 0, "bob", cp932("会議"),
              cp932("明日のＭｅｅｔｉｎｇは１０時"));
    writeMail(f.client.mailDir, "_TovicR17000000020", 0, "carol", "lunch", "see you");
    writeMail(f.client.mailDir, "_TovicR17000000030", 0, "dave", "misc", "meeting notes");
    f.w().reloadLists();
    ASSERT_EQ(f.client.rows(INBOX), 3);
    const int height = f.w().height();
    f.w().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f.w()));
    EXPECT_FALSE(f.w().findBarOpen());

    QTest::keyClick(&f.w(), Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(f.w().findBarOpen());
    EXPECT_GT(f.w().height(), height);
    EXPECT_TRUE(f.w().findField()->hasFocus());
    EXPECT_EQ(f.w().findField()->accessibleName(), QStringLiteral("検索"));
    auto shown = [&] {
        QStringList peers;
        for (int i = 0; i < f.client.rows(INBOX); ++i)
            if (!f.w().list(INBOX)->topLevelItem(i)->isHidden())
                peers << f.client.cell(INBOX, i, 2);
        return peers.join(',');
    };
    const struct {
        const char* query;
        const char* peers;
        const char* count;
    } cases[] = {{"MEET", "dave,bob", "2 件"},
                 {"１０", "bob", "1 件"},
                 {"LUNCH", "carol", "1 件"},
                 {"x y z", "", "0 件"},
                 {"", "dave,carol,bob", "3 件"}};
    for (const auto& c : cases) {
        f.w().findField()->setText(QString::fromUtf8(c.query));
        EXPECT_EQ(shown(), QString::fromUtf8(c.peers)) << c.query;
        EXPECT_EQ(f.w().findCount()->text(), QString::fromUtf8(c.count)) << c.query;
    }

    // A selected row that the filter hides is no longer selected: Delete removes nothing.
    f.w().list(INBOX)->topLevelItem(1)->setSelected(true);  // carol
    f.w().findField()->setText(QStringLiteral("meet"));
    f.w().deleteMail();
    EXPECT_EQ(f.client.rows(INBOX), 3);
    // Delete acts on the shown row that is selected.
    f.w().list(INBOX)->topLevelItem(0)->setSelected(true);  // dave
    f.w().deleteMail();
    EXPECT_EQ(shown(), QStringLiteral("bob"));
    EXPECT_FALSE(fileExists(f.client.mailDir + "_TovicR17000000030"));

    // Esc closes the bar (no exit question) and shows the whole box again.
    QTest::keyClick(f.w().findField(), Qt::Key_Escape);
    EXPECT_FALSE(f.w().findBarOpen());
    EXPECT_EQ(f.w().height(), height);
    EXPECT_EQ(shown(), QStringLiteral("carol,bob"));
    EXPECT_TRUE(f.boxes.texts().empty());
}

}  // namespace
}  // namespace tovi::test
