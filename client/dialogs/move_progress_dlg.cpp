#include "client/dialogs/move_progress_dlg.h"

#include <QLabel>
#include <QProgressBar>

#include "client/dialogs/dialog_texts.h"
#include "ui/qt/dialog_units.h"

namespace tovi {

CMoveProgressDlg::CMoveProgressDlg(QWidget* parent) : QDialog(parent) {
    setFont(CDialogUnits::dialogFont());
    setWindowTitle(QStringLiteral("メールを移動しています"));
    // Title bar without a close box: the move ends by itself.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    const CDialogUnits du(font());

    du.place(named(new QLabel(QStringLiteral("メールを新しいディレクトリへ移動しています。"), this),
                   QStringLiteral("メールを新しいディレクトリへ移動しています。")),
             10, 10, 180, 10);
    m_bar = named(new QProgressBar(this), QStringLiteral("メールを移動しています"));
    m_bar->setTextVisible(false);
    du.place(m_bar, 10, 24, 180, 10);
    m_count = named(new QLabel(this), QStringLiteral("移動したメール"));
    m_count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    du.place(m_count, 10, 38, 180, 10);
    setProgress(0, 0);
    setFixedSize(du.x(200), du.y(56));
}

void CMoveProgressDlg::setProgress(int done, int total) {
    m_bar->setRange(0, total);  // 0..0 runs without an end
    m_bar->setValue(done);
    m_count->setText(total == 0 ? QString() : QStringLiteral("%1 / %2 件").arg(done).arg(total));
    m_count->setAccessibleName(QStringLiteral("移動したメール %1").arg(m_count->text()));
}

QString CMoveProgressDlg::countText() const { return m_count->text(); }

}  // namespace tovi
