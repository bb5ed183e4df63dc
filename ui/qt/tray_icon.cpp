#include "ui/qt/tray_icon.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

namespace tovi {

CTrayIcon::CTrayIcon(const QIcon& icon, const QString& toolTip, QObject* parent)
    : QObject(parent), m_tray(icon), m_icon(icon), m_toolTip(toolTip) {
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

QIcon CTrayIcon::withBadge(const QIcon& icon, const QString& text) {
    if (text.isEmpty()) return icon;
    QIcon badged;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = icon.pixmap(size, size);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        QFont font;
        font.setBold(true);
        // Large enough to read in a 22-pixel tray: the disc takes the lower right half of the
        // icon ("99+" a little more of its width).
        font.setPixelSize(std::max(8, size * (text.size() > 2 ? 7 : 9) / 16));
        painter.setFont(font);
        const QFontMetrics metrics(font);
        const int height = metrics.height();
        const int width = std::max(height, metrics.horizontalAdvance(text) + height / 3);
        const QRect disc(size - width, size - height, width, height);
        painter.setPen(QPen(Qt::white, size >= 32 ? 1.5 : 1));
        painter.setBrush(QColor(0xd9, 0x25, 0x25));
        painter.drawRoundedRect(disc, height / 2.0, height / 2.0);
        painter.setPen(Qt::white);
        painter.drawText(disc, Qt::AlignCenter, text);
        painter.end();
        badged.addPixmap(pixmap);
    }
    return badged;
}

void CTrayIcon::setBadge(const QString& text) {
    if (text == m_badge) return;
    m_badge = text;
    m_tray.setIcon(withBadge(m_icon, text));
}

void CTrayIcon::setToolTip(const QString& toolTip) {
    if (toolTip == m_toolTip) return;
    m_toolTip = toolTip;
    m_tray.setToolTip(toolTip);
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
