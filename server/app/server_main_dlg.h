// CServerMainDlg: the server's window "トヴィカサーバー". It lists the registered users read from
// TovisUser.dat with their number, reloads the list (button or Enter), deletes the selected user
// through the worker, opens the holding-period dialog, hides into the task tray (button, Esc,
// close box) and comes back on a left click of the tray icon, and shuts the server down after a
// question. The about box is in the window's context menu.
//
// The window never touches the worker's tables: it reads the user file itself and reaches the
// worker through CServerApp. GUI thread only; it lives as long as the program.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPoint>
#include <string>

#include "server/app/user_list.h"
#include "ui/qt/tray_icon.h"

class QLabel;
class QListWidget;
class QPushButton;

namespace tovi {

class CServerApp;

class CServerMainDlg : public QDialog {
    Q_OBJECT

  public:
    static const char* const TITLE;

    explicit CServerMainDlg(CServerApp& app, QWidget* parent = nullptr);

    // The program's icon: the window's, the tray's and the about box's.
    static QIcon programIcon();
    // The shut-down question (cp932).
    static std::string shutDownQuestion();

    QListWidget* userList() const { return m_list; }
    QLabel* countText() const { return m_count; }
    QPushButton* reloadButton() const { return m_reload; }
    QPushButton* deleteButton() const { return m_delete; }
    QPushButton* settingsButton() const { return m_settings; }
    QPushButton* shutDownButton() const { return m_shutDown; }
    QPushButton* hideButton() const { return m_hide; }
    CTrayIcon& trayIcon() { return m_tray; }
    const CUserList& users() const { return m_users; }

  public slots:
    void reload();
    void deleteSelected();
    void openSettings();
    // Asks before shutting down; OK closes the window, which ends the program.
    void askShutDown();
    // Closes the window without the question (the program was told to end by a signal).
    void shutDownNow();
    void hideIntoTray();
    void restoreFromTray();
    void showAbout();
    // Esc hides into the tray.
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Whether the desktop has a tray to hide into; without one the window is minimised.
    virtual bool trayAvailable() const;

  private:
    void showCount();

    CServerApp& m_app;
    CUserList m_users;
    std::string m_selectedName;  // the last deleted name, as stored
    QListWidget* m_list;
    QLabel* m_count;
    QPushButton* m_reload;
    QPushButton* m_delete;
    QPushButton* m_settings;
    QPushButton* m_shutDown;
    QPushButton* m_hide;
    CTrayIcon m_tray;
    QPoint m_savedPosition;
    bool m_closing = false;
};

}  // namespace tovi
