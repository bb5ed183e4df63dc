// CClientApp: the client's application object. Its start-up does the work of the program's life:
// it finds or creates "Tovic.ini" in the configuration directory (a first start creates it with
// two zero bytes and then PORT=6998), makes a first-time user register with a server and choose
// a mail directory, and then runs the main window "トヴィカ" until it ends. It also offers the two
// settings dialogs that the start-up and the main window share.
//
// SIGTERM and SIGINT (requestStop) end the program as its own exit does, without the question:
// open dialogs are closed, the workers stopped, nothing is left half written.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>

#include "client/dialogs/client_settings.h"

namespace tovi {

class CClientMainDlg;

class CClientApp : public QObject {
    Q_OBJECT

  public:
    // configDir: the directory that holds Tovic.ini (made the current directory by the caller).
    explicit CClientApp(std::string configDir);
    ~CClientApp() override;

    // The start-up; returns the process exit code (0, also when the user ends it early; 1 when
    // the settings file cannot be created).
    int run();

    // The registration dialog (firstRun: the address may be edited). True when the user changed
    // something and it was stored; registrationChanged() then says whether the name or the group
    // changed.
    bool runRegisterDialog(int firstRun);
    // The registration dialog for a rename (address locked), storing nothing: true when the
    // name or the group was changed, which name and group then hold.
    bool askRename(std::string& name, std::string& group);
    // The user settings dialog; true when the mail directory was changed and stored.
    bool runUserSettingsDialog();
    int registrationChanged() const { return m_registrationChanged; }

    CClientSettings& settings() { return m_settings; }
    const std::string& configDir() const { return m_configDir; }
    // The main window while it runs (null before and after).
    CClientMainDlg* mainWindow() const { return m_mainWindow; }
    // For tests: the pause after a worker start (2000 ms by default).
    void setStartPauseMs(int ms) { m_startPauseMs = ms; }

    // Ends the program in order without the exit question (any dialog open is closed).
    void requestStop();
    bool stopRequested() const { return m_stopRequested; }

  private:
    // Creates Tovic.ini at the first start: two zero bytes, then PORT. False when it cannot.
    bool createSettingsFile(const std::string& path);
    void closeDialogs();
    // The main window while it is shown, so that dialogs open over it.
    QWidget* dialogParent() const;

    std::string m_configDir;
    CClientSettings m_settings;
    int m_registrationChanged = 0;
    int m_startPauseMs = -1;
    bool m_stopRequested = false;
    CClientMainDlg* m_mainWindow = nullptr;
    QTimer m_stopTimer;
};

}  // namespace tovi
