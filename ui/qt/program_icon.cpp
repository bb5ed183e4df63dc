#include "ui/qt/program_icon.h"

#include "ui/qt/tray_icon.h"

namespace tovi {

QIcon CProgramIcon::icon() {
    static const QIcon icon = [] {
        QIcon drawing(QStringLiteral(":/tovi/tovi.svg"));
        if (!drawing.pixmap(32, 32).isNull()) return drawing;
        return CTrayIcon::paintIcon(QColor(0x23, 0x6f, 0xb9), QStringLiteral("ト"));
    }();
    return icon;
}

}  // namespace tovi
