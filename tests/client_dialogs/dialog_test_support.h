// Shared by the dialog tests: cp932 literals and a temporary directory (from the common support),
// one QApplication for the process, and a helper that acts on a modal dialog once it is up.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <string>

#include "support/test_support.h"

namespace tovi::test {

inline QApplication& qtApp() {
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "tovi_client_dialogs_tests";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Every 10 ms looks for the active modal widget of type W; the first time one is up, runs act on
// it. Arm it just before exec() or before the action that opens the dialog. A dialog still open
// 10 s later is a failure and is closed, so that a test never waits for ever.
template <class W>
struct WhenModal {
    QTimer timer;
    QTimer watchdog;
    bool done = false;
    explicit WhenModal(std::function<void(W*)> act) {
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] {
            if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ADD_FAILURE() << "a modal dialog was still open after 10 s";
                d->done(QDialog::Rejected);
            }
        });
        watchdog.start(10000);
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this, act] {
            auto* w = qobject_cast<W*>(QApplication::activeModalWidget());
            if (w == nullptr || done) return;
            done = true;
            timer.stop();
            act(w);
        });
        timer.start();
    }
};

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

}  // namespace tovi::test

#include <QAbstractButton>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>

namespace tovi::test {

// The child of type W whose accessible name is name (null when there is none).
template <class W>
W* byName(QWidget* root, const QString& name) {
    for (W* w : root->findChildren<W*>())
        if (w->accessibleName() == name) return w;
    return nullptr;
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
