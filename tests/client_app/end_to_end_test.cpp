// The client program against the real server (tovis --headless on a free port): first start
// through registration, mail in both directions driven through the windows, read notices, held
// mail, group and broadcast mail, a reply with quotation, and a server restart under a client.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QPlainTextEdit>

#include "client/dialogs/compose_dlg.h"
#include "client/dialogs/mail_view_dlg.h"
#include "client/dialogs/register_dlg.h"
#include "client/dialogs/send_target_dlg.h"
#include "client/dialogs/user_settings_dlg.h"
#include "qt_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

// Writes one message through the destination and compose dialogs. member: the user for a
// one-user send; group: the group to choose (empty: the preselected own group).
void writeMail(ClientWindow& from, const char* sendType, const QString& member,
               const QString& title, const QString& body) {
    const int before = from.rows(SENT_BOX);
    bool composed = false;
    ModalDriver driver([&](QWidget* modal) {
        if (auto* target = qobject_cast<CSendTargetDlg*>(modal)) {
            click(target, QString::fromUtf8(sendType));
            if (!member.isEmpty()) {
                QListWidget* members = named<QListWidget>(target, QStringLiteral("名前"));
                ASSERT_NE(members, nullptr);
                for (int i = 0; i < members->count(); ++i)
                    if (members->item(i)->text().endsWith(member)) members->setCurrentRow(i);
            }
            click(target, QStringLiteral("OK"));
        } else if (auto* compose = qobject_cast<CComposeDlg*>(modal)) {
            setLine(compose, QStringLiteral("タイトル"), title);
            named<QPlainTextEdit>(compose, QStringLiteral("本文"))->setPlainText(body);
            composed = true;
            click(compose, QStringLiteral("送信"));
        }
    });
    // A request still waiting for the worker (a busy machine) would refuse this one.
    EXPECT_TRUE(pump([&] { return !from.window->control().outboundQueued(); }));
    from.window->button(3)->click();  // 新規メール送信
    EXPECT_TRUE(pump([&] { return composed && from.rows(SENT_BOX) == before + 1; }, 30000))
        << "sending " << title.toStdString();
}

// Opens row 0 of the inbox by a double click and answers it with quotation, adding replyBody.
void replyQuoted(ClientWindow& client, const QString& replyBody) {
    bool done = false;
    ModalDriver driver([&](QWidget* modal) {
        if (auto* view = qobject_cast<CMailViewDlg*>(modal)) {
            named<QAbstractButton>(view, QStringLiteral("引用"))->setChecked(true);
            click(view, QStringLiteral("返信"));
        } else if (auto* compose = qobject_cast<CComposeDlg*>(modal)) {
            QPlainTextEdit* body = named<QPlainTextEdit>(compose, QStringLiteral("本文"));
            body->setPlainText(body->toPlainText() + replyBody);
            setLine(compose, QStringLiteral("タイトル"), QStringLiteral("Re"));
            click(compose, QStringLiteral("送信"));
            done = true;
        }
    });
    EXPECT_TRUE(pump([&] { return !client.window->control().outboundQueued(); }));
    QTreeWidget* inbox = client.list(INBOX);
    emit inbox->itemDoubleClicked(inbox->topLevelItem(0), 0);
    EXPECT_TRUE(pump([&] { return done; }, 10000));
}

std::string fileText(const std::string& path) { return contents(path).substr(56); }

TEST(EndToEnd, AFreshConfigurationGoesThroughRegistrationToTheMainWindow) {
    CScriptedMessageBoxes boxes;  // "create the directory?" is answered OK
    RunningServer server;
    TempDir config;
    const std::string mailDir = config.path + "mail/";
    qtApp();
    CClientApp app(config.path.substr(0, config.path.size() - 1));
    app.setStartPauseMs(200);
    bool registered = false, loggedIn = false;
    ModalDriver driver([&](QWidget* modal) {
        if (auto* reg = qobject_cast<CRegisterDlg*>(modal)) {
            // The first start stored the default port; this server listens elsewhere.
            app.settings().setPort(server.port);
            setLine(reg, QStringLiteral("サーバアドレス"), QStringLiteral("127.0.0.1"));
            setLine(reg, QStringLiteral("ユーザ名"), QStringLiteral("新人"));
            setLine(reg, QStringLiteral("ユーザグループ"), QStringLiteral("営業"));
            registered = true;
            click(reg, QStringLiteral("OK"));
        } else if (auto* user = qobject_cast<CUserSettingsDlg*>(modal)) {
            setLine(user, QStringLiteral("ユーザーディレクトリ"), QString::fromStdString(mailDir));
            click(user, QStringLiteral("OK"));
        }
    });
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        if (!loggedIn && app.mainWindow() != nullptr && app.mainWindow()->control().loggedIn()) {
            loggedIn = true;
            EXPECT_TRUE(app.mainWindow()->isVisible());
            app.requestStop();
        }
    });
    watcher.start(20);
    QTimer::singleShot(30000, [&] { app.requestStop(); });
    EXPECT_EQ(app.run(), 0);

    EXPECT_TRUE(registered);
    EXPECT_TRUE(loggedIn);
    EXPECT_TRUE(isDirectory(mailDir));
    const std::string ini = contents(config.file("Tovic.ini"));
    EXPECT_EQ(ini.substr(0, 2), std::string(2, '\0'));
    for (const std::string& line :
         {"PORT=" + std::to_string(server.port), std::string("ADDRESS=127.0.0.1"),
          "NAME=" + cp932("新人"), "GROUP=" + cp932("営業"), "DIR=" + mailDir})
        EXPECT_NE(ini.find(line), std::string::npos) << line;
    // The server registered the new user under the cp932 name.
    EXPECT_NE(contents(server.dir.file("TovisUser.dat")).find(cp932("新人")), std::string::npos);
}

TEST(EndToEnd, AfterTheServerRestartsTheClientLogsInAgainByItself) {
    CScriptedMessageBoxes boxes;
    RunningServer server;
    TempDir dir;
    ClientWindow alice(dir.path, server.port, "alice", "sales");
    ASSERT_TRUE(alice.loggedIn());
    server.stop();
    ASSERT_TRUE(pump([&] { return !alice.window->control().loggedIn(); }));
    server.start();
    EXPECT_TRUE(alice.loggedIn());
    EXPECT_TRUE(boxes.texts().empty());
}

TEST(EndToEnd, HeldMailReadNoticesAQuotedReplyGroupAndEveryone) {
    CScriptedMessageBoxes boxes;
    RunningServer server;
    TempDir a, b;
    ClientWindow alice(a.path, server.port, "alice", "sales");
    ClientWindow bob(b.path, server.port, "bob", "sales");
    ASSERT_TRUE(alice.loggedIn() && bob.loggedIn());
    bob.stop();

    // Mail to Bob while he is away is held and arrives when he starts.
    writeMail(alice, "ユーザーを指定して送信", QStringLiteral("bob"), QStringLiteral("留守中"),
              QStringLiteral("一行目\n二行目"));
    EXPECT_EQ(alice.cell(SENT_BOX, 0, 0), QStringLiteral("●"));
    EXPECT_EQ(alice.cell(SENT_BOX, 0, 2), QStringLiteral("bob"));
    bob.start();
    ASSERT_TRUE(pump([&] { return bob.rows(INBOX) == 1; }, 15000));
    EXPECT_EQ(bob.cell(INBOX, 0, 0), QStringLiteral("●"));
    EXPECT_EQ(bob.cell(INBOX, 0, 2), QStringLiteral("alice"));
    EXPECT_EQ(bob.cell(INBOX, 0, 3), QStringLiteral("留守中"));

    // Bob opens it and answers with quotation: his row and Alice's sent mail turn read, and her
    // inbox gets the answer with the quotation block.
    replyQuoted(bob, QStringLiteral("了解です"));
    EXPECT_EQ(bob.cell(INBOX, 0, 0), QStringLiteral("○"));
    EXPECT_TRUE(pump([&] { return alice.cell(SENT_BOX, 0, 0) == QStringLiteral("○"); }));
    ASSERT_TRUE(pump([&] { return alice.rows(INBOX) == 1; }));
    EXPECT_EQ(alice.cell(INBOX, 0, 2), QStringLiteral("bob"));
    const std::vector<std::string> received = findFiles(alice.mailDir, "_TovicR1*");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(fileText(alice.mailDir + received[0]),
              cp932("[Subject]:_[Re]_mail from <alice>\r\n\r\n一行目\r\n二行目\r\n"
                    "-------------------------------\r\n了解です"));

    // The group and everyone: "ブロードキャスト" and no read notice owed; both get both.
    writeMail(alice, "グループ全員に送信", {}, QStringLiteral("group"), QStringLiteral("sales"));
    EXPECT_EQ(alice.cell(SENT_BOX, 0, 2), QStringLiteral("ブロードキャスト"));
    EXPECT_EQ(alice.cell(SENT_BOX, 0, 0), QStringLiteral("○"));
    writeMail(alice, "ユーザー全員に送信", {}, QStringLiteral("all"), QStringLiteral("everyone"));
    EXPECT_EQ(alice.cell(SENT_BOX, 0, 2), QStringLiteral("ブロードキャスト"));
    EXPECT_EQ(alice.rows(SENT_BOX), 3);
    ASSERT_TRUE(pump([&] { return bob.rows(INBOX) == 3; }));
    EXPECT_EQ(bob.cell(INBOX, 0, 3), QStringLiteral("all"));
    EXPECT_EQ(bob.cell(INBOX, 1, 3), QStringLiteral("group"));
    EXPECT_TRUE(pump([&] { return alice.rows(INBOX) == 3; }));
    EXPECT_TRUE(boxes.texts().empty());
}

}  // namespace
}  // namespace tovi::test
