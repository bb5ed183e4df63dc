#include "ui/qt/dbus_desktop_notifier.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QImage>
#include <QVariantMap>

#include "platform/cp932.h"

namespace {

const char* const SERVICE = "org.freedesktop.Notifications";
const char* const PATH = "/org/freedesktop/Notifications";
const char* const INTERFACE = "org.freedesktop.Notifications";
constexpr int IMAGE_SIZE = 48;

// The "image-data" hint: (iiibiiay) width, height, row stride, alpha, bits per sample, channels,
// the RGBA bytes.
struct NotificationImage {
    QImage image;
};

QDBusArgument& operator<<(QDBusArgument& argument, const NotificationImage& value) {
    const QImage rgba = value.image.convertToFormat(QImage::Format_RGBA8888);
    argument.beginStructure();
    argument << rgba.width() << rgba.height() << static_cast<int>(rgba.bytesPerLine()) << true << 8
             << 4
             << QByteArray(reinterpret_cast<const char*>(rgba.constBits()),
                           static_cast<int>(rgba.sizeInBytes()));
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, NotificationImage&) {
    return argument;  // never received
}

// Notification bodies may be read as markup: the three characters that start it are escaped.
QString bodyText(const std::string& cp932) {
    return QString::fromStdString(tovi::cp932ToUtf8Lossy(cp932)).toHtmlEscaped();
}

}  // namespace

Q_DECLARE_METATYPE(NotificationImage)

namespace tovi {

CDbusDesktopNotifier::CDbusDesktopNotifier(const QString& appName, const QString& desktopEntry,
                                           const QIcon& icon, const QDBusConnection& bus,
                                           QObject* parent)
    : QObject(parent), m_bus(bus), m_appName(appName), m_desktopEntry(desktopEntry), m_icon(icon) {
    qDBusRegisterMetaType<NotificationImage>();
    if (!m_bus.isConnected()) return;
    m_bus.connect(SERVICE, PATH, INTERFACE, "ActionInvoked", this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(SERVICE, PATH, INTERFACE, "NotificationClosed", this,
                  SLOT(onNotificationClosed(uint, uint)));
}

QDBusConnection CDbusDesktopNotifier::sessionBusIfAny() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
        (runtime.isEmpty() || !QFileInfo::exists(QString::fromLocal8Bit(runtime) + "/bus")))
        return QDBusConnection(QStringLiteral("tovi-no-session-bus"));
    return QDBusConnection::sessionBus();
}

void CDbusDesktopNotifier::notify(const DesktopNote& note) {
    if (!m_bus.isConnected()) return;
    const int kind = note.kind == DesktopNote::READ_NOTICE ? 1 : 0;
    const uint replaces = note.replacesLast ? m_lastId[kind] : 0;
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), m_desktopEntry);
    hints.insert(QStringLiteral("category"),
                 kind == 0 ? QStringLiteral("email.arrived") : QStringLiteral("email"));
    hints.insert(
        QStringLiteral("image-data"),
        QVariant::fromValue(NotificationImage{m_icon.pixmap(IMAGE_SIZE, IMAGE_SIZE).toImage()}));
    QDBusMessage call = QDBusMessage::createMethodCall(SERVICE, PATH, INTERFACE, "Notify");
    call << m_appName << replaces << m_desktopEntry
         << QString::fromStdString(cp932ToUtf8Lossy(note.summary)) << bodyText(note.body)
         << QStringList{QStringLiteral("default"), QStringLiteral("表示")} << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, CALL_TIMEOUT_MS), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, kind](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                finished->deleteLater();
                if (reply.isError()) return;
                ++m_answered;
                m_lastId[kind] = reply.value();
                m_kindOf.insert(reply.value(), kind);
            });
}

void CDbusDesktopNotifier::onActionInvoked(uint id, const QString& actionKey) {
    const auto it = m_kindOf.constFind(id);
    if (it == m_kindOf.constEnd() || actionKey != QLatin1String("default")) return;
    reportActivated(it.value() == 1 ? DesktopNote::READ_NOTICE : DesktopNote::NEW_MAIL);
}

void CDbusDesktopNotifier::onNotificationClosed(uint id, uint) {
    const auto it = m_kindOf.constFind(id);
    if (it == m_kindOf.constEnd()) return;
    const int kind = it.value();
    m_kindOf.erase(it);
    reportClosed(kind == 1 ? DesktopNote::READ_NOTICE : DesktopNote::NEW_MAIL);
}

}  // namespace tovi
