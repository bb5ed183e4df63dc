#include "client/dialogs/about_dlg.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "client/dialogs/dialog_texts.h"
#include "client/dialogs/dialog_units.h"
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

    du.place(named(new QLabel(QStringLiteral("トヴィカ Version 1.2"), this),
                   QStringLiteral("トヴィカ Version 1.2")),
             40, 10, 150, 10);
    const QString second =
        QStringLiteral("社内メッセージ クライアント (build %1)").arg(QStringLiteral(TOVI_VERSION));
    du.place(named(new QLabel(second, this), second), 40, 24, 150, 10);
    auto* ok = named(new QPushButton(QStringLiteral("OK"), this), QStringLiteral("OK"));
    ok->setDefault(true);
    du.place(ok, 140, 40, 50, 14);
    connect(ok, &QPushButton::clicked, this, &CAboutDlg::accept);
    setFixedSize(du.x(200), du.y(62));
}

}  // namespace tovi
