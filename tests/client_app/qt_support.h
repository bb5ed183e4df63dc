// Shared by the windowed client tests: the application object on the offscreen platform, event
// pumping with a limit, widgets found by their accessible names, a driver that answers modal
// dialogs, and a client window on a configuration directory of its own.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <cstdlib>
#include <functional>
#include <memory>

#include "client/app/client_app.h"
#include "client/app/client_main_dlg.h"
#include "support/test_support.h"

namespace tovi::test {

inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "tovi_client_app_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static TempDir runtime;
        setenv("XDG_RUNTIME_DIR", runtime.path.c_str(), 0);
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

// Tovic.ini of a configured client (ASCII texts).
inline std::string clientIni(int port, const std::string& name, const std::string& group,
                             const std::string& mailDir) {
    return "[SERVER]\nPORT=" + std::to_string(port) + "\nADDRESS=127.0.0.1\n[USER]\nNAME=" + name +
           "\nGROUP=" + group + "\nDIR=" + mailDir + "\n";
}

// One client on its own configuration directory: the application object and its main window,
// started without the pause after worker starts.
struct ClientWindow {
    std::string configDir;
    std::string mailDir;
    std::unique_ptr<CClientApp> app;
    std::unique_ptr<CClientMainDlg> window;

    ClientWindow(const std::string& dir, int port, const std::string& name,
                 const std::string& group) {
        qtApp();
        configDir = dir;
        mailDir = dir + "mail/";
        makeDirectories(mailDir);
        if (!fileExists(dir + "Tovic.ini")) {
            EXPECT_TRUE(
                replaceFileAtomically(dir + "Tovic.ini", clientIni(port, name, group, mailDir)));
        }
        start();
    }
    void start() {
        app = std::make_unique<CClientApp>(configDir.substr(0, configDir.size() - 1));
        EXPECT_EQ(app->settings().load(configDir + "Tovic.ini"), 1);
        window = std::make_unique<CClientMainDlg>(*app);
        window->control().setStartPauseMs(0);
        window->start();
    }
    void stop() {
        window->endWithoutQuestion();
        window->finish();
        window.reset();
        app.reset();
    }
    ~ClientWindow() {
        if (window) stop();
    }
    bool loggedIn() {
        return pump([&] { return window->control().loggedIn(); }, 15000);
    }
    QTreeWidget* list(int box) { return window->list(box); }
    int rows(int box) { return list(box)->topLevelItemCount(); }
    QString cell(int box, int row, int column) {
        QTreeWidgetItem* item = list(box)->topLevelItem(row);
        return item == nullptr ? QString() : item->text(column);
    }
};

}  // namespace tovi::test
