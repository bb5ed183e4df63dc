// Shared by the dialog tests: cp932 literals and a temporary directory (from the common support),
// one QApplication for the process, and a helper that acts on a modal dialog once it is up.
#pragma once

#include <QApplication>
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
// it. Arm it just before exec() or before the action that opens the dialog.
template <class W>
struct WhenModal {
    QTimer timer;
    bool done = false;
    explicit WhenModal(std::function<void(W*)> act) {
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

inline std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

}  // namespace tovi::test
