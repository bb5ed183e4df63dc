#include "client/dialogs/about_dlg.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "client/dialogs/dialog_texts.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/tray_icon.h"

namespace tovi {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setFont(CDialogUnits::dialogFont());
    setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報 Tovic"));
    const CDialogUnits du(font());

    // The program's icon where it has one, else the client's painted tray mark.
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) icon = CTrayIcon::paintIcon(QColor(40, 110, 190), QStringLiteral("T"));
    auto* iconLabel = named(new QLabel(this), QStringLiteral("トヴィカ"));
    iconLabel->setPixmap(icon.pixmap(32, 32));
    du.place(iconLabel, 10, 10, 22, 20);

    auto* first = named(new QLabel(QStringLiteral("トヴィカ Version 1.2"), this),
                        QStringLiteral("トヴィカ Version 1.2"));
    const QString secondText =
        QStringLiteral("社内メッセージ クライアント  %1").arg(QStringLiteral(TOVI_VERSION));
    auto* second = named(new QLabel(secondText, this), secondText);
    du.place(first, 40, 10, 150, 10);
    du.place(second, 40, 24, 150, 10);
    // Wide enough for the longer line, whatever the font.
    const int textWidth = std::max(first->sizeHint().width(), second->sizeHint().width());
    first->resize(textWidth, first->height());
    second->resize(textWidth, second->height());
    const int width = std::max(du.x(200), first->x() + textWidth + du.x(10));
    auto* ok = named(new QPushButton(QStringLiteral("OK"), this), QStringLiteral("OK"));
    ok->setDefault(true);
    ok->setGeometry(width - du.x(60), du.y(40), du.x(50), du.y(14));
    connect(ok, &QPushButton::clicked, this, &CAboutDlg::accept);
    setFixedSize(width, du.y(62));
}

}  // namespace tovi
