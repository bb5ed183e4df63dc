#include "server/app/dialog_units.h"

#include <QFontDatabase>
#include <QFontMetrics>

namespace tovi {

CDialogUnits::CDialogUnits(const QFont& font) {
    QFontMetrics metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    m_baseY = metrics.height();
    if (m_baseX <= 0) m_baseX = 6;
    if (m_baseY <= 0) m_baseY = 13;
}

QFont CDialogUnits::dialogFont() {
    QFont font;
    if (QFontDatabase::families().contains(QStringLiteral("IPAGothic")))
        font = QFont(QStringLiteral("IPAGothic"));
    font.setPointSize(10);
    return font;
}

QRect CDialogUnits::rect(int x, int y, int width, int height) const {
    return QRect(x * m_baseX / 4, y * m_baseY / 8, width * m_baseX / 4, height * m_baseY / 8);
}

QSize CDialogUnits::size(int width, int height) const {
    return QSize(width * m_baseX / 4, height * m_baseY / 8);
}

void CDialogUnits::place(QWidget* widget, int x, int y, int width, int height) const {
    widget->setGeometry(rect(x, y, width, height));
}

}  // namespace tovi
