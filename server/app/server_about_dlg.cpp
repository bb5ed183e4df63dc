#include "server/app/server_about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "server/app/server_main_dlg.h"
#include "ui/qt/dialog_units.h"

namespace tovi {

const char* const CServerAboutDlg::VERSION_LINE = "トヴィカサーバー Version 1.1.0.2";

CServerAboutDlg::CServerAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報 Tovis"));
    setFont(CDialogUnits::dialogFont());
    const CDialogUnits du(font());

    auto* icon = new QLabel(this);
    const QRect iconRect = du.rect(11, 10, 20, 20);
    icon->setPixmap(CServerMainDlg::programIcon().pixmap(32, 32));
    icon->setGeometry(iconRect.x(), iconRect.y(), 32, 32);
    icon->setAccessibleName(QStringLiteral("Tovis"));

    auto* line = new QLabel(QString::fromUtf8(VERSION_LINE), this);
    line->setAccessibleName(line->text());
    du.place(line, 40, 14, 150, 10);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setAccessibleName(ok->text());
    ok->setDefault(true);
    du.place(ok, 150, 36, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(du.size(207, 57));
}

}  // namespace tovi
