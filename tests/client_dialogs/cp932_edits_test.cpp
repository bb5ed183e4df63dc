// The byte-limited edits as the user meets them: typing, input-method commits and pasting stop at
// the limit; a character cp932 cannot hold is refused with a message and nothing changes.
#include <gtest/gtest.h>

#include <QClipboard>

#include "client/dialogs/cp932_line_edit.h"
#include "client/dialogs/cp932_text_edit.h"
#include "dialog_test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi {
namespace {

using test::cp932;

TEST(Cp932Edits, LineEditStopsAtTheByteLimitHoweverTextArrives) {
    test::qtApp();
    CScriptedMessageBoxes boxes;
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
}

TEST(Cp932Edits, LineEditRefusesCharactersCp932CannotHold) {
    test::qtApp();
    CScriptedMessageBoxes boxes;
    CCp932LineEdit edit(20);
    edit.show();
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

TEST(Cp932Edits, TextEditCountsLineBreaksAsTwoBytes) {
    test::qtApp();
    CScriptedMessageBoxes boxes;
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
}

TEST(Cp932Edits, ProgramTextIsShownInFullBeyondTheLimit) {
    test::qtApp();
    CScriptedMessageBoxes boxes;
    CCp932TextEdit edit(4);
    edit.show();
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

}  // namespace
}  // namespace tovi
