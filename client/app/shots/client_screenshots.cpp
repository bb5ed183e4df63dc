// tovic_screenshots: the screenshots of the client for the documentation, taken by
// scripts/screenshots.sh under Xvfb with a tray (run by hand, built only on demand). It starts the
// real server and two clients, exchanges mail and saves the main window, the dialogs, the find
// bar, the tray icon (plain and with the unread count) and a desktop notification (shown by the
// notification daemon the script runs on its own session bus) as $SCREENSHOT_DIR/client-*.png. It
// drives the windows with the client tests' helpers.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScreen>

#include "client/dialogs/compose_dlg.h"
#include "client/dialogs/mail_view_dlg.h"
#include "client/dialogs/register_dlg.h"
#include "client/dialogs/send_target_dlg.h"
#include "client/dialogs/user_settings_dlg.h"
#include "client/dialogs/wait_dlg.h"
#include "qt_support.h"
#include "ui/qt/dbus_desktop_notifier.h"
#include "ui/qt/program_icon.h"
#include "ui/qt/tray_icon.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

std::string shotDir() {
    const char* dir = std::getenv("SCREENSHOT_DIR");
    return dir != nullptr ? dir : "docs/screenshots";
}

void save(QWidget* widget, const char* name) {
    pumpFor(300);
    const QString path = QString::fromStdString(shotDir() + "/client-" + name + ".png");
    EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
}

// Shows a dialog that the program would run modally, waits for it to paint, saves it, closes it.
void saveDialog(QDialog& dialog, const char* name) {
    dialog.show();
    save(&dialog, name);
    dialog.done(QDialog::Rejected);
}

TEST(Screenshots, ClientWindowsAndDialogs) {
    CScriptedMessageBoxes boxes;
    qtApp();
    CDbusDesktopNotifier notifier(QStringLiteral("トヴィカ"), QStringLiteral("tovic"),
                                  CProgramIcon::icon());
    setDesktopNotifier(&notifier);
    TempDir serverDir, a, b;
    const int port = freePort();
    ASSERT_TRUE(replaceFileAtomically(serverDir.file("Tovis.ini"),
                                      "[SERVER]\nPORT=" + std::to_string(port) + "\n"));
    auto server = std::make_unique<ServerProcess>();
    ASSERT_TRUE(server->start(serverDir.path) && waitServerUp(port, 10000));
    ClientWindow alice(a.path, port, "alice", "sales");
    ClientWindow bob(b.path, port, "bob", "sales");
    ASSERT_TRUE(alice.loggedIn() && bob.loggedIn());
    alice.window->move(40, 40);
    bob.window->move(500, 300);

    // The registration and user settings dialogs as a newcomer fills them in.
    {
        CRegisterDlg reg(1, "127.0.0.1", "", "");
        setLine(&reg, QStringLiteral("ユーザ名"), QStringLiteral("佐藤"));
        setLine(&reg, QStringLiteral("ユーザグループ"), QStringLiteral("営業"));
        saveDialog(reg, "register");
        CUserSettingsDlg user("/home/sato/tovi/", 1, 1, 0, 1);
        saveDialog(user, "user-settings");
    }

    // Alice writes to Bob: the destination and compose dialogs on the way.
    auto write = [&](ClientWindow& from, const char* type, const QString& member,
                     const QString& title, const QString& body, bool shoot) {
        const int before = from.rows(SENT_BOX);
        ModalDriver driver([&](QWidget* modal) {
            if (auto* target = qobject_cast<CSendTargetDlg*>(modal)) {
                click(target, QString::fromUtf8(type));
                if (!member.isEmpty()) {
                    QListWidget* members = named<QListWidget>(target, QStringLiteral("名前"));
                    for (int i = 0; i < members->count(); ++i)
                        if (members->item(i)->text().endsWith(member)) members->setCurrentRow(i);
                }
                if (shoot) save(target, "destination");
                click(target, QStringLiteral("OK"));
            } else if (auto* compose = qobject_cast<CComposeDlg*>(modal)) {
                setLine(compose, QStringLiteral("タイトル"), title);
                named<QPlainTextEdit>(compose, QStringLiteral("本文"))->setPlainText(body);
                if (shoot) save(compose, "compose");
                click(compose, QStringLiteral("送信"));
            }
        });
        from.window->button(3)->click();
        EXPECT_TRUE(pump([&] { return from.rows(SENT_BOX) == before + 1; }, 15000));
    };
    write(alice, "ユーザーを指定して送信", QStringLiteral("bob"), QStringLiteral("明日の会議"),
          QStringLiteral(
              "ボブさん\n\n明日の会議は十時から第二会議室です。\n資料の準備をお願いします。"),
          true);
    write(alice, "グループ全員に送信", {}, QStringLiteral("営業部の皆さんへ"),
          QStringLiteral("今月の報告書は金曜日までに提出してください。"), false);
    write(bob, "ユーザーを指定して送信", QStringLiteral("alice"), QStringLiteral("見積書の件"),
          QStringLiteral("アリスさん\n見積書を送ります。ご確認ください。"), false);
    ASSERT_TRUE(pump([&] { return bob.rows(INBOX) == 2 && alice.rows(INBOX) == 2; }));

    // Bob opens Alice's message: the view dialog; Alice's sent box learns that it was read.
    {
        bool viewed = false;
        ModalDriver driver([&](QWidget* modal) {
            if (auto* view = qobject_cast<CMailViewDlg*>(modal)) {
                view->resize(520, 360);
                save(view, "view");
                viewed = true;
                click(view, QStringLiteral("閉じる"));
            }
        });
        QTreeWidget* inbox = bob.list(INBOX);
        emit inbox->itemDoubleClicked(inbox->topLevelItem(1), 0);
        ASSERT_TRUE(pump([&] { return viewed; }));
    }
    pump([&] { return alice.cell(SENT_BOX, 1, 0) == QStringLiteral("○"); });
    save(alice.window.get(), "main-inbox");
    alice.window->boxSelector()->setCurrentIndex(SENT_BOX);
    save(alice.window.get(), "main-sent");
    alice.window->boxSelector()->setCurrentIndex(INBOX);

    // The find bar: a word of an old mail's body leaves only that mail.
    alice.window->openFindBar();
    alice.window->findField()->setText(QStringLiteral("ご確認"));
    save(alice.window.get(), "find");
    alice.window->closeFindBar();

    // The server goes away: Bob's client waits for it while it reconnects.
    {
        bool waited = false;
        ModalDriver driver([&](QWidget* modal) {
            if (auto* wait = qobject_cast<CWaitDlg*>(modal)) {
                save(wait, "waiting");
                waited = true;
                // Back again: the dialog closes by itself once the client has logged in.
                server = std::make_unique<ServerProcess>();
                EXPECT_TRUE(server->start(serverDir.path));
            }
        });
        ::kill(server->pid, SIGTERM);
        server->wait(10000);
        EXPECT_TRUE(pump([&] { return waited; }, 15000));
        EXPECT_TRUE(bob.loggedIn());
        EXPECT_TRUE(alice.loggedIn());
    }

    // Alice hides in the tray: the icon at the right end of the tray.
    ASSERT_TRUE(CTrayIcon::isAvailable());
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    auto saveTray = [&](const char* name) {
        pumpFor(1500);
        QPixmap tray = QGuiApplication::primaryScreen()->grabWindow(0, screen.width() - 120,
                                                                    screen.height() - 24, 120, 24);
        EXPECT_TRUE(tray.scaled(480, 96, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                        .save(QString::fromStdString(shotDir() + "/client-" + name + ".png")));
    };
    bob.window->toTray();
    saveTray("tray");

    // Mail for Bob while his window is in the tray: the count on his icon and a notification
    // (the earlier ones closed first, so that it stands alone).
    QProcess::execute(QStringLiteral("dunstctl"), {QStringLiteral("close-all")});
    EXPECT_TRUE(pump([&] { return notifier.openCount() == 0; }, 5000));
    const int before = bob.rows(INBOX);
    write(alice, "ユーザーを指定して送信", QStringLiteral("bob"), QStringLiteral("至急：電話ください"),
          QStringLiteral("お客様から連絡がありました。"), false);
    alice.window->toTray();
    ASSERT_TRUE(pump([&] { return bob.rows(INBOX) == before + 1; }, 15000));
    saveTray("tray-count");
    EXPECT_TRUE(pump([&] { return notifier.openCount() > 0; }, 5000));
    pumpFor(500);
    QPixmap note = QGuiApplication::primaryScreen()->grabWindow(0, screen.width() - 350, 40, 350,
                                                                 90);
    EXPECT_TRUE(note.save(QString::fromStdString(shotDir() + "/client-notification.png")));
    setDesktopNotifier(nullptr);
}

}  // namespace
}  // namespace tovi::test
