// CTrayIcon: the task-tray icon of both programs. It shows a program-painted icon with a tooltip
// and reports a left click (the only click the programs react to); every other activation of the
// icon is ignored. Where the desktop has no tray, isAvailable() is false and callers minimise
// their window instead of hiding it, so that it can always be brought back.
//
// GUI thread only.
#pragma once

#include <QColor>
#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

namespace tovi {

class CTrayIcon : public QObject {
    Q_OBJECT

  public:
    CTrayIcon(const QIcon& icon, const QString& toolTip, QObject* parent = nullptr);

    // Whether the desktop currently offers a task tray.
    static bool isAvailable();

    // A square icon painted by the program: a rounded tile in the colour with the mark centred
    // on it, at the usual icon sizes (16 to 64 pixels).
    static QIcon paintIcon(const QColor& colour, const QString& mark);

    // Shows or removes the icon; showing it twice shows it once.
    void show();
    void hide();
    bool isVisible() const { return m_visible; }

    const QString& toolTip() const { return m_toolTip; }
    void setToolTip(const QString& toolTip);

    // Draws text (a count such as "3" or "99+") in a red disc on the icon's lower right corner;
    // an empty text gives the plain icon back.
    void setBadge(const QString& text);
    const QString& badge() const { return m_badge; }
    // The icon with a badge, as setBadge draws it.
    static QIcon withBadge(const QIcon& icon, const QString& text);
    // The tray's own object, for callers that want to watch it (tests, menus).
    QSystemTrayIcon& systemTrayIcon() { return m_tray; }

  signals:
    // The icon was clicked with the left button.
    void leftClicked();

  public slots:
    // What the tray reports: Trigger (left click) emits leftClicked(), any other reason
    // (context menu, double or middle click) does nothing.
    void handleActivation(QSystemTrayIcon::ActivationReason reason);

  private:
    QSystemTrayIcon m_tray;
    QIcon m_icon;
    QString m_toolTip;
    QString m_badge;
    bool m_visible = false;
};

}  // namespace tovi
