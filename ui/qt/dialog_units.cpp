#include "ui/qt/dialog_units.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetricsF>

namespace tovi {

QFont CDialogUnits::dialogFont() {
    if (QFontDatabase::families().contains(QStringLiteral("IPAGothic"))) {
        return QFont(QStringLiteral("IPAGothic"), 10);
    }
    return QApplication::font();
}

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    static const QString letters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_bx = metrics.horizontalAdvance(letters) / letters.size();
    m_by = metrics.height();
}

int CDialogUnits::x(int units) const { return qRound(units * m_bx / 4.0); }
int CDialogUnits::y(int units) const { return qRound(units * m_by / 8.0); }

QRect CDialogUnits::rect(int x0, int y0, int w, int h) const {
    const int left = x(x0);
    const int top = y(y0);
    return QRect(left, top, x(x0 + w) - left, y(y0 + h) - top);
}

void CDialogUnits::place(QWidget* widget, int x0, int y0, int w, int h) const {
    widget->setGeometry(rect(x0, y0, w, h));
}

}  // namespace tovi
