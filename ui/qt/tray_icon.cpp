#include "ui/qt/tray_icon.h"

#include <QFont>
#include <QPainter>
#include <QPixmap>

namespace tovi {

CTrayIcon::CTrayIcon(const QIcon& icon, const QString& toolTip, QObject* parent)
    : QObject(parent), m_tray(icon), m_toolTip(toolTip) {
    m_tray.setToolTip(toolTip);
    connect(&m_tray, &QSystemTrayIcon::activated, this, &CTrayIcon::handleActivation);
}

bool CTrayIcon::isAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

QIcon CTrayIcon::paintIcon(const QColor& colour, const QString& mark) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(colour.darker(160), size >= 32 ? 2 : 1));
        painter.setBrush(colour);
        const qreal inset = size >= 32 ? 1.5 : 0.5;
        painter.drawRoundedRect(QRectF(inset, inset, size - 2 * inset, size - 2 * inset),
                                size / 5.0, size / 5.0);
        QFont font;
        font.setBold(true);
        font.setPixelSize(size * 11 / 16);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, mark);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void CTrayIcon::show() {
    m_visible = true;
    m_tray.show();
}

void CTrayIcon::hide() {
    m_visible = false;
    m_tray.hide();
}

void CTrayIcon::handleActivation(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) emit leftClicked();
}

}  // namespace tovi
