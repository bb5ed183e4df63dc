// Shared by the windowed client tests: a client window on a configuration directory of its own
// (the Qt helpers come from the common support).
#pragma once

#include <QComboBox>
#include <QPushButton>
#include <QTreeWidget>
#include <memory>

#include "client/app/client_app.h"
#include "client/app/client_main_dlg.h"
#include "support/qt_support.h"
#include "support/scripted_server.h"

namespace tovi::test {

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
