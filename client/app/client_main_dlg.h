// CClientMainDlg: the client's only top-level window "トヴィカ". It shows the inbox or the sent box
// (box selector), opens, writes and deletes messages, hides in the task tray and comes back on a
// left click or an announcement, asks before the program ends, and gives access to the two
// settings dialogs ("設定(&S)" menu) and the about box (the window's context menu).
//
// The decisions live in plain classes: the connection (CConnectionControl, whose host this window
// is), the lists (CMailboxList), moving mail (CMailMover), sending (CMailSender), the desktop
// notifications (CNotificationPolicy, shown through the ui seam), the unread count on the tray
// icon (CUnreadCount) and the find bar's filter (CMailFilter). This class only shows their
// results and runs the dialogs.
//
// Ctrl+F opens the find bar under the list (the window grows by its height); Esc or its close
// button hides it and shows every row again. While it filters, the commands act on the rows
// shown: a row that is filtered out is never selected.
//
// A fixed-size parentless dialog laid out in dialog units of the dialog font. GUI thread only.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "client/app/connection_control.h"
#include "client/app/mail_filter.h"
#include "client/app/mailbox_list.h"
#include "client/app/notification_policy.h"
#include "client/dialogs/user_directory.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tovi {

class CClientApp;
class CClientSettings;
class CTrayIcon;

class CClientMainDlg : public QDialog, public CConnectionHost {
    Q_OBJECT

  public:
    // How often the progress of a mail move is looked at.
    static constexpr int MOVE_STEP_MS = 50;

    explicit CClientMainDlg(CClientApp& app, QWidget* parent = nullptr);
    ~CClientMainDlg() override;

    // The window's initialisation: shows it, starts the poll timer and both workers, loads both
    // lists.
    void start();
    // After the window has ended: stops the workers in order.
    void finish();
    bool ended() const { return m_ended; }

    // Commands.
    void openSelected();
    void openMail(int index, bool inbox);
    void deleteMail();
    void requestUserList();
    void toTray();
    void onTrayNotify();
    void changeUserOptions();
    void changeConnectionSettings() { m_control.changeConnectionSettings(); }
    void showAbout();
    // Rebuilds the box's list; announce: the reload follows the box's flag file (new mail or a
    // read notice may be announced).
    void loadMailbox(int box, bool announce = false);
    void sendMail(int32_t sendType, const std::string& destName, const std::string& destGroup,
                  const std::string& sender, const std::string& quote);
    bool checkFlagFile(int box);
    // Ends the window as its exit does, without the question.
    void endWithoutQuestion();
    void showBox(int box);
    // The find bar.
    void openFindBar();
    void closeFindBar();
    bool findBarOpen() const { return m_findOpen; }
    QLineEdit* findField() const { return m_findField; }
    QLabel* findCount() const { return m_findCount; }
    // Unread mails in the inbox, as the tray icon shows them.
    int unreadCount() const { return m_unread; }

    // CConnectionHost
    void confirmExit() override;
    bool runWaitDialog(CPacketMailbox& sendView, int mode) override;
    bool runRegisterDialog(int firstRun) override;
    bool registrationChanged() const override;
    bool askRename(std::string& name, std::string& group) override;
    bool onUserList(const char* reply, uint32_t length) override;
    bool onMailResult(const char* reply, uint32_t length) override;
    void reloadLists() override;
    void checkFlagFiles() override;
    void pause(int milliseconds) override;

    CConnectionControl& control() { return m_control; }
    QTreeWidget* list(int box) const { return box == INBOX ? m_inbox : m_sentBox; }
    QComboBox* boxSelector() const { return m_boxSelector; }
    QPushButton* button(int id) const;
    QMenuBar* menuBar() const { return m_menuBar; }
    CTrayIcon* trayIcon() const { return m_tray.get(); }
    const CUserDirectory& userDirectory() const { return m_directory; }
    // The exit question, which tells how many received mails would be lost.
    static std::string exitQuestion(size_t unsaved);
    // The about entry of the window's context menu.
    static QString aboutEntryText();

  public slots:
    void reject() override;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void buildWindow();
    void setupList(QTreeWidget* list, int box);
    std::string fsDirectory() const;
    void endWindow();
    void applyFilter();
    void showUnreadCount();
    void showNote(const DesktopNote& note);

    CClientApp& m_app;
    CClientSettings& m_settings;
    CConnectionControl m_control;
    CUserDirectory m_directory;
    QMenuBar* m_menuBar = nullptr;
    QComboBox* m_boxSelector = nullptr;
    QTreeWidget* m_inbox = nullptr;
    QTreeWidget* m_sentBox = nullptr;
    QPushButton* m_open = nullptr;
    QPushButton* m_new = nullptr;
    QPushButton* m_delete = nullptr;
    QPushButton* m_toTray = nullptr;
    QPushButton* m_close = nullptr;
    std::unique_ptr<CTrayIcon> m_tray;
    QWidget* m_findBar = nullptr;
    QLineEdit* m_findField = nullptr;
    QLabel* m_findCount = nullptr;
    QPushButton* m_findClose = nullptr;
    int m_findBarHeight = 0;
    bool m_findOpen = false;
    std::vector<MailRow> m_rows[2];
    CMailFilter m_filter[2];
    CNotificationPolicy m_notes;
    int m_unread = 0;
    QTimer m_pollTimer;
    // Reads the mail's texts for the find bar in small steps after each load.
    QTimer m_prepareTimer;
    QPoint m_savedPosition;
    bool m_inTray = false;
    bool m_ended = false;
    bool m_finished = false;
};

}  // namespace tovi
