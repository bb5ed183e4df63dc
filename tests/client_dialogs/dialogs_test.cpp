// The dialogs' wiring: each control reaches its rule, each result reaches the caller, every
// message goes through the message-box seam, every control has an accessible name; and the
// byte-limited edits they are made of.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "client/connection/packet_mailbox.h"
#include "client/dialogs/about_dlg.h"
#include "client/dialogs/client_settings.h"
#include "client/dialogs/compose_dlg.h"
#include "client/dialogs/compose_text.h"
#include "client/dialogs/cp932_line_edit.h"
#include "client/dialogs/cp932_text_edit.h"
#include "client/dialogs/mail_view_dlg.h"
#include "client/dialogs/register_dlg.h"
#include "client/dialogs/send_target_dlg.h"
#include "client/dialogs/user_settings_dlg.h"
#include "client/dialogs/wait_dlg.h"
#include "dialog_test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi {
namespace {

using test::cp932;
using test::named;

QPushButton* button(QWidget* dlg, const char* text) {
    return named<QPushButton>(dlg, QString::fromUtf8(text));
}

// The send worker's side of a mailbox.
struct Mailbox {
    CMailboxStorage storage;
    CPacketMailbox view;
    Mailbox() { view.bind(&storage.lock, &storage.mailSlots, &storage.sendStatus); }
};

// Each case has the application and scripted message boxes.
struct Dialogs : ::testing::Test {
    QApplication& app = test::qtApp();
    CScriptedMessageBoxes boxes;
};

// The lists follow the send type and the chosen group; refusals keep the dialog open.
TEST_F(Dialogs, SendTargetChoosingAMemberReturnsTheUserAndRefusalsKeepItOpen) {
    CUserDirectory directory;
    directory.add(1, cp932("佐藤"), cp932("営業"));
    directory.add(0, cp932("鈴木"), cp932("営業"));
    directory.add(1, "x", cp932("総務"));
    CSendTargetDlg dlg(&directory, cp932("営業"));
    auto* groups = named<QComboBox>(&dlg, QStringLiteral("グループ名"));
    auto* members = named<QListWidget>(&dlg, QStringLiteral("名前"));
    ASSERT_TRUE(groups && members);
    EXPECT_EQ(groups->currentText(), QStringLiteral("営業"));
    ASSERT_EQ(members->count(), 2);
    EXPECT_EQ(members->item(0)->text(), QStringLiteral("×  鈴木"));
    EXPECT_FALSE(members->isEnabled() || groups->isEnabled());
    auto choose = [](QDialog* d, const char* type) {
        named<QRadioButton>(d, QString::fromUtf8(type))->click();
    };
    test::WhenModal<CSendTargetDlg> act([&](CSendTargetDlg* d) {
        button(d, "OK")->click();  // no type yet: refused, still open
        choose(d, "接続しているグループ全員に送信");
        EXPECT_TRUE(groups->isEnabled() && !members->isEnabled());
        groups->setCurrentIndex(groups->findText(QStringLiteral("総務")));
        ASSERT_EQ(members->count(), 1);
        EXPECT_EQ(members->item(0)->text(), QStringLiteral("○  x"));
        groups->setCurrentIndex(groups->findText(QStringLiteral("営業")));
        choose(d, "ユーザーを指定して送信");
        EXPECT_TRUE(members->isEnabled() && groups->isEnabled());
        button(d, "OK")->click();  // no member yet
        members->setCurrentRow(1);
        button(d, "OK")->click();
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_EQ(boxes.texts(), (test::Names{cp932("送信タイプを選択してください。\n"),
                                          cp932("名前が選択されていません。\n")}));
    EXPECT_EQ(dlg.sendType(), SEND_TO_USER);
    EXPECT_EQ(dlg.chosenUser(), cp932("佐藤"));
    EXPECT_EQ(dlg.group(), cp932("営業"));
}

TEST_F(Dialogs, ComposeSendComposesTheTextFromBothFields) {
    CComposeDlg dlg;
    auto* title = named<QLineEdit>(&dlg, QStringLiteral("タイトル"));
    auto* body = named<QPlainTextEdit>(&dlg, QStringLiteral("本文"));
    ASSERT_TRUE(title && body);
    test::WhenModal<CComposeDlg> act([&](CComposeDlg* d) {
        button(d, "送信")->click();  // empty: refused
        test::typeText(title, QStringLiteral("件名"));
        test::typeText(body, QStringLiteral("一行目\n二行目"));
        button(d, "送信")->click();
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_EQ(boxes.texts(), (test::Names{cp932("メッセージを入力してください。\n")}));
    const std::string expected = "[Subject]:_[" + cp932("件名") + "]_" + cp932("一行目\r\n二行目");
    EXPECT_EQ(dlg.body(), expected);
    EXPECT_EQ(dlg.textLength(), static_cast<int>(expected.size()));
}

TEST_F(Dialogs, ComposeCancelAsksBeforeDiscardingAQuotationWhichKeepsAllButBrokenBytes) {
    CComposeDlg dlg;
    dlg.setBody(CComposeText::quotationBlock("a", "quoted\r\nline"));
    EXPECT_EQ(named<QPlainTextEdit>(&dlg, QStringLiteral("本文"))->toPlainText(),
              QStringLiteral("mail from <a>\n\nquoted\nline\n-------------------------------\n"));
    dlg.show();
    boxes.queueAnswer(IDCANCEL);
    dlg.reject();  // what Escape and the close box do
    EXPECT_TRUE(dlg.isVisible());
    boxes.queueAnswer(IDOK);
    button(&dlg, "ｷｬﾝｾﾙ")->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_EQ(boxes.texts(),
              test::Names(2, cp932("編集された内容は破棄されます。よろしいですか？")));
    EXPECT_EQ(boxes.shown()[0].buttons, MB_OKCANCEL);

    CComposeDlg empty;
    empty.show();
    empty.reject();
    EXPECT_FALSE(empty.isVisible());
    EXPECT_EQ(boxes.texts().size(), 2u);  // no question for empty fields

    // A stored text with a broken double-byte character, quoted in a reply: only that byte is
    // left out.
    CComposeDlg broken;
    broken.setBody(CComposeText::quotationBlock("a", "ok\x81 " + cp932("了解")));
    broken.show();
    button(&broken, "送信")->click();
    EXPECT_EQ(broken.result(), QDialog::Accepted);
    EXPECT_NE(broken.body().find("ok " + cp932("了解") + "\r\n---"), std::string::npos);
}

TEST_F(Dialogs, ComposeControlsFollowTheWindowSize) {
    CComposeDlg dlg;
    dlg.show();
    dlg.resize(700, 500);
    QApplication::processEvents();
    auto* send = button(&dlg, "送信");
    auto* cancel = button(&dlg, "ｷｬﾝｾﾙ");
    auto* body = named<QPlainTextEdit>(&dlg, QStringLiteral("本文"));
    // The two buttons keep the same margin to their sides of the window.
    EXPECT_EQ(dlg.width() - (cancel->x() + cancel->width()), send->x());
    EXPECT_LT(send->geometry().bottom(), dlg.height());
    EXPECT_EQ(send->y(), cancel->y());
    EXPECT_LT(body->geometry().bottom(), send->y());
    EXPECT_GT(body->width(), 600);
    const int before = body->height();
    dlg.resize(700, 600);
    QApplication::processEvents();
    EXPECT_EQ(body->height(), before + 100);
}

TEST_F(Dialogs, MailViewShowsTheSplitTextAndRepliesWithTheQuoteFlag) {
    test::TempDir dir;
    const std::string path =
        test::mailFile(dir, 0, "[Subject]:_[" + cp932("件名") + "]_body\r\nline");
    CMailViewDlg dlg(path, 0, nullptr);
    EXPECT_EQ(named<QLineEdit>(&dlg, QStringLiteral("タイトル"))->text(), QStringLiteral("件名"));
    EXPECT_EQ(named<QPlainTextEdit>(&dlg, QStringLiteral("本文"))->toPlainText(),
              QStringLiteral("body\nline"));
    test::WhenModal<CMailViewDlg> act([&](CMailViewDlg* d) {
        named<QCheckBox>(d, QStringLiteral("引用"))->setChecked(true);
        button(d, "返信")->click();
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_EQ(dlg.quoteFlag(), 1);
    EXPECT_EQ(dlg.body(), "body\r\nline");
    EXPECT_TRUE(boxes.texts().empty());
}

TEST_F(Dialogs, MailViewSentMailHasNoReplyAndAFailedLoadIsReported) {
    test::TempDir dir;
    CMailViewDlg sent(test::mailFile(dir, 1, "[Subject]:_[t]_b"), 1, nullptr);
    sent.show();
    EXPECT_FALSE(button(&sent, "返信")->isVisible());
    EXPECT_FALSE(named<QCheckBox>(&sent, QStringLiteral("引用"))->isVisible());
    button(&sent, "閉じる")->click();
    EXPECT_EQ(sent.result(), QDialog::Rejected);

    CMailViewDlg missing(dir.file("gone"), 0, nullptr);
    EXPECT_FALSE(missing.loaded());
    missing.show();
    QApplication::processEvents();
    EXPECT_EQ(boxes.texts(), (test::Names{cp932("メールファイルの読み込みに失敗しました。\n")}));
    EXPECT_TRUE(named<QPlainTextEdit>(&missing, QStringLiteral("本文"))->toPlainText().isEmpty());
}

TEST_F(Dialogs, MailViewSaveWritesTheBodyAndRemembersTheFolder) {
    test::TempDir dir;
    CClientSettings settings;
    ASSERT_TRUE(replaceFileAtomically(dir.file("Tovic.ini"), "[USER]\n"));
    ASSERT_EQ(settings.load(dir.file("Tovic.ini")), 1);
    CMailViewDlg dlg(test::mailFile(dir, 1, "[Subject]:_[t]_" + cp932("本文") + "\r\n"), 1,
                     &settings);
    dlg.show();
    // Through the save dialog, as the menu command opens it.
    test::WhenModal<QFileDialog> act([&](QFileDialog* f) {
        EXPECT_EQ(f->windowTitle(), QStringLiteral("名前を指定して保存"));
        f->selectFile(QString::fromStdString(dir.file("saved")));
        static_cast<QDialog*>(f)->accept();
    });
    dlg.saveAs();
    EXPECT_EQ(test::contents(dir.file("saved.txt")), cp932("本文") + "\r\n");
    EXPECT_EQ(settings.saveDir(), dir.path.substr(0, dir.path.size() - 1));
    // A file that cannot be created is reported like a failed write; the folder stays.
    dlg.saveTo(QString::fromStdString(dir.file("no/such/folder/x.txt")));
    EXPECT_EQ(boxes.texts(), (test::Names{cp932("メッセージの保存に失敗しました。\n")}));
    EXPECT_EQ(settings.saveDir(), dir.path.substr(0, dir.path.size() - 1));
}

TEST_F(Dialogs, UserSettingsOkCompletesTheDirectoryAndReturnsTheBoxes) {
    test::TempDir dir;
    const std::string typed = dir.path.substr(0, dir.path.size() - 1);
    CUserSettingsDlg dlg("/a", 1, 0, 0, 1);
    auto* field = named<QLineEdit>(&dlg, QStringLiteral("ユーザーディレクトリ"));
    ASSERT_TRUE(field);
    EXPECT_EQ(field->text(), QStringLiteral("/a"));
    EXPECT_TRUE(named<QCheckBox>(&dlg, QStringLiteral("メッセージ到着時に音を鳴らす(Windows95用)"))
                    ->isChecked());
    test::WhenModal<CUserSettingsDlg> act([&](CUserSettingsDlg* d) {
        button(d, "OK")->click();  // "/a" is refused
        field->setText(QString::fromStdString(typed));
        named<QCheckBox>(d, QStringLiteral("メッセージ到着時にウィンドウを表示する"))
            ->setChecked(true);
        button(d, "OK")->click();
    });
    ASSERT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_EQ(boxes.texts(),
              (test::Names{cp932("ユーザーディレクトリを正しく設定して下さい。\n")}));
    EXPECT_EQ(dlg.dir(), dir.path);
    EXPECT_EQ(std::vector<int>({dlg.beep(), dlg.winUp(), dlg.readBeep(), dlg.readWinUp()}),
              std::vector<int>({1, 1, 0, 1}));
}

TEST_F(Dialogs, RegisterFirstRunEditsTheAddressLockedModeOnlyNameAndGroup) {
    CRegisterDlg first(1, "", "", "");
    auto* address = named<QLineEdit>(&first, QStringLiteral("サーバアドレス"));
    auto* name = named<QLineEdit>(&first, QStringLiteral("ユーザ名"));
    auto* group = named<QLineEdit>(&first, QStringLiteral("ユーザグループ"));
    ASSERT_TRUE(address && name && group);
    EXPECT_TRUE(address->isEnabled());
    test::WhenModal<CRegisterDlg> act([&](CRegisterDlg* d) {
        // A host name typed key by key: every intermediate text is taken; '_' is not.
        test::typeText(address, QStringLiteral("mail_host.local"));
        EXPECT_EQ(address->text(), QStringLiteral("mailhost.local"));
        test::typeText(name, QStringLiteral("山田 "));
        button(d, "OK")->click();  // the trailing blank
        name->setText(QStringLiteral("山田"));
        button(d, "OK")->click();                                           // no group yet
        test::typeText(group, QStringLiteral("営業部第一課の皆さん全員"));  // stops at 20 bytes
        button(d, "OK")->click();
    });
    ASSERT_EQ(first.exec(), QDialog::Accepted);
    EXPECT_EQ(boxes.texts(), (test::Names{cp932("ユーザ名の前後に空白や引用符(\")は使えません。\n"),
                                          cp932("ユーザグループを入力してください。\n")}));
    EXPECT_EQ(first.changed(), 1);
    EXPECT_EQ(first.address(), "mailhost.local");
    EXPECT_EQ(first.name(), cp932("山田"));
    EXPECT_EQ(first.group(), cp932("営業部第一課の皆さん"));

    // Locked: the address is shown, cannot be edited and is kept byte for byte.
    CRegisterDlg locked(0, "mailhost", "A", "G");
    address = named<QLineEdit>(&locked, QStringLiteral("サーバアドレス"));
    EXPECT_FALSE(address->isEnabled());
    EXPECT_EQ(address->text(), QStringLiteral("mailhost"));
    locked.show();
    named<QLineEdit>(&locked, QStringLiteral("ユーザ名"))->setText(QStringLiteral("B"));
    button(&locked, "OK")->click();
    EXPECT_EQ(locked.result(), QDialog::Accepted);
    EXPECT_EQ(locked.address() + locked.name(), "mailhostB");
}

TEST_F(Dialogs, WaitClosesWhenTheAwaitedConditionHolds) {
    Mailbox box;
    ASSERT_EQ(box.view.putSlot(8, "\x22\0\0\0\0\0\0\0", SLOT_OUTBOUND), 8u);
    CWaitDlg sending(box.view, CWaitDlg::WAIT_SENDING);
    EXPECT_EQ(sending.text(), QStringLiteral("サーバと通信中です......."));
    // The worker takes the request a little later: the dialog closes by itself.
    int frameSeen = 0;
    QTimer::singleShot(350, [&] {
        frameSeen = sending.frame();
        box.view.putSlot(0, nullptr, SLOT_OUTBOUND);
    });
    test::closeIfStuck(sending);
    EXPECT_EQ(sending.exec(), QDialog::Accepted);
    EXPECT_GT(frameSeen, 0);  // the animation ran meanwhile
    EXPECT_EQ(sending.text(), QStringLiteral("サーバーと通信中です..."));

    box.view.setStatus(ST_CONNECTING);
    CWaitDlg connecting(box.view, CWaitDlg::WAIT_CONNECTING);
    QTimer::singleShot(250, [&] { box.view.setStatus(ST_CONNECTED); });
    test::closeIfStuck(connecting);
    EXPECT_EQ(connecting.exec(), QDialog::Accepted);
    EXPECT_EQ(connecting.text(), QStringLiteral("サーバーに接続中です..."));
}

TEST_F(Dialogs, WaitCancelGivesUpAndLeavesTheMailboxAlone) {
    Mailbox box;
    box.view.setStatus(ST_CONNECTING);
    CWaitDlg dlg(box.view, CWaitDlg::WAIT_CONNECTING);
    test::WhenModal<CWaitDlg> act([](CWaitDlg* d) { button(d, "ｷｬﾝｾﾙ")->click(); });
    EXPECT_EQ(dlg.exec(), QDialog::Rejected);
    // The wait is over: a later change of the status (while the caller shows its own box)
    // does not turn the cancellation into an acceptance.
    box.view.setStatus(ST_CONNECTED);
    test::pumpFor(250);
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    box.view.setStatus(ST_CONNECTING);
    EXPECT_TRUE(CWaitDlg::conditionHolds(box.view, CWaitDlg::WAIT_SENDING));
    EXPECT_FALSE(CWaitDlg::conditionHolds(box.view, CWaitDlg::WAIT_CONNECTING));
}

// The byte-limited edits as the user meets them: typing, input-method commits and pasting stop at
// the limit; a character cp932 cannot hold is refused with a message and nothing changes.
TEST_F(Dialogs, Cp932LineEditStopsAtTheByteLimitHoweverTextArrivesAndRefusesOtherCharacters) {
    CCp932LineEdit edit(20);
    edit.show();
    test::typeText(&edit, QStringLiteral("あいうえおかきくけこさ"));  // 11 characters, 22 bytes
    EXPECT_EQ(edit.text(), QStringLiteral("あいうえおかきくけこ"));
    edit.clear();
    test::typeText(&edit, QStringLiteral("abcdefghijklmnopqrs"));  // 19 bytes: one left
    test::commitText(&edit, QStringLiteral("漢字"));
    EXPECT_EQ(edit.cp932Text(), "abcdefghijklmnopqrs");
    test::typeText(&edit, QStringLiteral("ｱ"));  // a half-width kana is one byte
    EXPECT_EQ(edit.cp932Text().size(), 20u);

    edit.clear();
    edit.setText(QStringLiteral("ab"));
    QApplication::clipboard()->setText(QStringLiteral("0123456789012345678901234"));
    edit.end(false);
    edit.paste();
    EXPECT_EQ(edit.text(), QStringLiteral("ab012345678901234567"));
    // Replacing a selection frees its bytes first.
    edit.selectAll();
    QApplication::clipboard()->setText(QStringLiteral("全部置換"));
    edit.paste();
    EXPECT_EQ(edit.text(), QStringLiteral("全部置換"));
    // A pasted line break has no place in a one-line field.
    edit.clear();
    QApplication::clipboard()->setText(QStringLiteral("ab\r\ncd\n"));
    edit.paste();
    EXPECT_EQ(edit.cp932Text(), "abcd");
    EXPECT_TRUE(boxes.texts().empty());

    // Characters cp932 cannot hold, pasted or typed, are refused and the text stays.
    edit.setCp932Text(cp932("名前"));
    edit.end(false);
    QApplication::clipboard()->setText(QStringLiteral("a한b"));
    edit.paste();
    test::typeText(&edit, QStringLiteral("é"));
    EXPECT_EQ(edit.text(), QStringLiteral("名前"));
    QApplication::processEvents();  // the user is told once the edit has been turned down
    ASSERT_FALSE(boxes.texts().empty());
    EXPECT_EQ(boxes.texts().front(), cp932("cp932 で表せない文字は入力できません。\n"));
}

TEST_F(Dialogs, Cp932TextEditCountsLineBreaksAsTwoBytesAndShowsProgramTextInFull) {
    CCp932TextEdit edit(7);
    edit.show();
    test::typeText(&edit, QStringLiteral("ab\ncd\nef"));  // "ab" CR LF "cd" = 6, a break needs 2
    EXPECT_EQ(edit.toPlainText(), QStringLiteral("ab\ncde"));
    EXPECT_EQ(edit.cp932Text(), "ab\r\ncde");
    EXPECT_EQ(edit.byteCount(), 7);

    edit.clear();
    QApplication::clipboard()->setText(QStringLiteral("12\r\n34\r\n56"));
    edit.paste();
    EXPECT_EQ(edit.cp932Text(), "12\r\n34");  // the second break would need bytes 7 and 8

    edit.clear();
    test::commitText(&edit, QStringLiteral("日本語です"));  // 10 bytes into 7: three characters
    EXPECT_EQ(edit.toPlainText(), QStringLiteral("日本語"));
    QApplication::clipboard()->setText(QStringLiteral("한"));
    edit.paste();
    EXPECT_EQ(edit.toPlainText(), QStringLiteral("日本語"));
    EXPECT_EQ(boxes.texts(), (test::Names{cp932("cp932 で表せない文字は入力できません。\n")}));

    // A text the program sets is shown in full beyond the limit; typing adds nothing to it.
    edit.setCp932Text("long\r\ntext");
    EXPECT_EQ(edit.cp932Text(), "long\r\ntext");
    edit.moveCursor(QTextCursor::End);
    test::typeText(&edit, QStringLiteral("x"));
    EXPECT_EQ(edit.cp932Text(), "long\r\ntext");
    // Deleting is always possible.
    QKeyEvent back(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
    QApplication::sendEvent(&edit, &back);
    EXPECT_EQ(edit.cp932Text(), "long\r\ntex");
}

// Every dialog has its caption, and every control of it an accessible name.
TEST_F(Dialogs, EachHasItsCaptionAndEveryControlAnAccessibleName) {
    test::TempDir dir;
    CUserDirectory directory;
    directory.add(1, "a", "g");
    Mailbox box;
    CSendTargetDlg target(&directory, "g");
    CComposeDlg compose;
    CMailViewDlg view(test::mailFile(dir, 0, "[Subject]:_[t]_b"), 0, nullptr);
    CUserSettingsDlg settings("/a", 1, 0, 0, 1);
    CRegisterDlg registration(1, "", "", "");
    CWaitDlg wait(box.view, CWaitDlg::WAIT_SENDING);
    CAboutDlg about;
    const std::pair<QDialog*, const char*> dialogs[] = {{&target, "メール送信先"},
                                                        {&compose, "送信メッセージ"},
                                                        {&view, "メッセージ表示"},
                                                        {&settings, "ユーザー設定"},
                                                        {&registration, "サーバにユーザ登録"},
                                                        {&wait, "返答待ち"},
                                                        {&about, "ﾊﾞｰｼﾞｮﾝ情報 Tovic"}};
    for (const auto& [dialog, title] : dialogs) {
        EXPECT_EQ(dialog->windowTitle().toStdString(), title);
        EXPECT_EQ(test::unnamedControls(dialog).join(' ').toStdString(), "") << title;
    }
    EXPECT_TRUE(named<QLabel>(&about, QStringLiteral("トヴィカ Version 1.2")));
}

}  // namespace
}  // namespace tovi
