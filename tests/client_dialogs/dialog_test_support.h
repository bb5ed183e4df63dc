// Shared by the dialog tests: dialogs that must close by themselves, controls without a name, and
// typed or input-method text (the application object and modal helpers are common support).
#pragma once

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <string>

#include "support/qt_support.h"

namespace tovi::test {

// For a dialog that is expected to close by itself: still open 10 s after exec() began is a
// failure, and the dialog is closed.
inline void closeIfStuck(QDialog& dialog) {
    QTimer::singleShot(10000, &dialog, [&dialog] {
        if (!dialog.isVisible()) return;
        ADD_FAILURE() << "the dialog did not close by itself";
        dialog.done(QDialog::Rejected);
    });
}

inline std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// A mail file of the user "me" from "you" in dir, one name per box: the head and the text, with
// lengthField in place of the text's length when given.
inline std::string mailFile(const TempDir& dir, int32_t box, const std::string& text,
                            int32_t token = 4242, int32_t lengthField = INT32_MIN) {
    const std::string path = dir.file(box ? "_TovicS1" : "_TovicR1_0");
    const int32_t length =
        lengthField == INT32_MIN ? static_cast<int32_t>(text.size()) : lengthField;
    EXPECT_TRUE(replaceFileAtomically(path, nameField("me") + int32s({0, box}) + nameField("you") +
                                                int32s({token, length}) + text));
    return path;
}

// Every control (button, edit, list, drop-down) of the dialog has an accessible name.
inline QStringList unnamedControls(QWidget* root) {
    QStringList out;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                             qobject_cast<QPlainTextEdit*>(w) || qobject_cast<QComboBox*>(w) ||
                             qobject_cast<QListWidget*>(w);
        // Parts of composite widgets (the drop-down's own line edit, scroll bar buttons) and
        // the save dialog's internals are not the dialog's controls.
        if (control && w->parentWidget() == root && w->accessibleName().isEmpty())
            out << QString::fromLatin1(w->metaObject()->className());
    }
    return out;
}

// Types text as the keyboard would (one key event per character; works for Japanese, which
// QTest::keyClicks cannot send).
inline void typeText(QWidget* w, const QString& text) {
    for (QChar c : text) {
        const int key = c == QLatin1Char('\n') ? Qt::Key_Return : 0;
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier,
                        c == QLatin1Char('\n') ? QStringLiteral("\r") : QString(c));
        QApplication::sendEvent(w, &press);
    }
}

// An input-method commit, as a Japanese input method delivers a converted phrase.
inline void commitText(QWidget* w, const QString& text) {
    QInputMethodEvent event;
    event.setCommitString(text);
    QApplication::sendEvent(w, &event);
}

}  // namespace tovi::test
