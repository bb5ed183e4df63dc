// CDbusDesktopNotifier: desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus). Each note carries the program's name, its
// icon (as image data, so that nothing needs installing) and its desktop-entry hint, and a
// default action, which the service runs when the notification is clicked.
//
// Calls are asynchronous with a short timeout: without a session bus or a service nothing is
// shown, nothing fails and nothing waits. A note that replaces the last one of its kind reuses
// that notification's id, so the service updates it in place.
//
// GUI thread only (the replies and the service's signals arrive on its event loop).
#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QMap>
#include <QObject>
#include <QString>

#include "ui/desktop_notifier.h"

namespace tovi {

class CDbusDesktopNotifier : public QObject, public CDesktopNotifier {
    Q_OBJECT

  public:
    static constexpr int CALL_TIMEOUT_MS = 2000;

    // appName: shown by the service; desktopEntry: the desktop file's name without ".desktop".
    // bus: the session bus of the environment (sessionBusIfAny()) unless given.
    CDbusDesktopNotifier(const QString& appName, const QString& desktopEntry, const QIcon& icon,
                         const QDBusConnection& bus = sessionBusIfAny(), QObject* parent = nullptr);

    // The session bus named by DBUS_SESSION_BUS_ADDRESS, or the one at $XDG_RUNTIME_DIR/bus; a
    // connection that is not connected when there is neither, so that no bus is started on the
    // desktop's behalf (dbus-launch) and nothing waits for one.
    static QDBusConnection sessionBusIfAny();

    void notify(const DesktopNote& note) override;

    // Notifications shown and not yet closed (for tests and diagnostics).
    int openCount() const { return m_kindOf.size(); }
    // Calls answered by the service so far.
    int answeredCalls() const { return m_answered; }

  private slots:
    void onActionInvoked(uint id, const QString& actionKey);
    void onNotificationClosed(uint id, uint reason);

  private:
    QDBusConnection m_bus;
    QString m_appName;
    QString m_desktopEntry;
    QIcon m_icon;
    uint m_lastId[2] = {0, 0};
    QMap<uint, int> m_kindOf;  // open notification id -> kind
    int m_answered = 0;
};

}  // namespace tovi
