// Shared by the windowed test folders: the one application object on the offscreen platform,
// event pumping with a limit, widgets found by their accessible names, and modal dialogs driven
// from a timer.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>

#include "support/test_support.h"

namespace tovi::test {

// On the offscreen platform unless another one was chosen, with a runtime directory of its own
// when none is set; closing the last window does not end it.
inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "tovi_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static TempDir runtime;
        ::setenv("XDG_RUNTIME_DIR", runtime.path.c_str(), 0);
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return a;
    }();
    return *app;
}

// Processes events until cond holds, at most timeoutMs.
template <class F>
bool pump(F cond, int timeoutMs = 10000) {
    for (const int64_t end = monotonicMs() + timeoutMs; !cond(); sleepMs(5)) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (monotonicMs() > end) return false;
    }
    return true;
}
inline void pumpFor(int ms) {
    pump([] { return false; }, ms);
}

// The child of type W whose accessible name is name (null when there is none).
template <class W>
W* named(QWidget* root, const QString& name) {
    for (W* w : root->findChildren<W*>())
        if (w->accessibleName() == name) return w;
    return nullptr;
}
inline void click(QWidget* root, const QString& name) {
    QAbstractButton* b = named<QAbstractButton>(root, name);
    EXPECT_NE(b, nullptr) << name.toStdString();
    if (b != nullptr) b->click();
}
inline void setLine(QWidget* root, const QString& name, const QString& text) {
    QLineEdit* e = named<QLineEdit>(root, name);
    EXPECT_NE(e, nullptr) << name.toStdString();
    if (e != nullptr) e->setText(text);
}

// Every 10 ms: the modal widget on top (if any) is handed to the handler once per widget.
struct ModalDriver {
    QTimer timer;
    std::function<void(QWidget*)> handler;
    QWidget* last = nullptr;
    explicit ModalDriver(std::function<void(QWidget*)> h) : handler(std::move(h)) {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || modal == last) return;
            last = modal;
            handler(modal);
        });
        timer.start();
    }
};

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

}  // namespace tovi::test
