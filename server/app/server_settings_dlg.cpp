#include "server/app/server_settings_dlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "ui/qt/dialog_units.h"

namespace tovi {

CServerSettingsDlg::CServerSettingsDlg(const CHoldPeriod& period, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_days(period.initialDays()) {
    setWindowTitle(QStringLiteral("設定"));
    setFont(CDialogUnits::dialogFont());
    const CDialogUnits du(font());

    auto* note = new QLabel(QStringLiteral("未接続者向けのメールはサーバー側に保存されています。\n"
                                           "このメールの保存期間をここで指定して下さい。"),
                            this);
    note->setAccessibleName(note->text());
    du.place(note, 7, 7, 226, 20);

    m_deleteOld = new QCheckBox(QStringLiteral("古いメールは削除する"), this);
    m_deleteOld->setAccessibleName(m_deleteOld->text());
    du.place(m_deleteOld, 14, 35, 120, 12);

    m_daysEdit = new QLineEdit(this);
    m_daysEdit->setMaxLength(CHoldPeriod::MAX_DIGITS);
    m_daysEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,4}")), this));
    m_daysEdit->setAccessibleName(QStringLiteral("日より古いメールを削除"));
    du.place(m_daysEdit, 24, 52, 32, 13);

    auto* after = new QLabel(QStringLiteral("日より古いメールを削除"), this);
    after->setAccessibleName(after->text());
    du.place(after, 60, 54, 120, 10);

    // A limit the days cannot show exactly is named as the file holds it, on a line of its own.
    int buttonsY = 76;
    const std::string fileNote = period.fileNote();
    if (!fileNote.empty()) {
        m_fileNote = new QLabel(QString::fromStdString(fileNote), this);
        m_fileNote->setAccessibleName(m_fileNote->text());
        du.place(m_fileNote, 14, 70, 219, 10);
        buttonsY = 86;
    }

    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setAccessibleName(m_ok->text());
    m_ok->setDefault(true);
    du.place(m_ok, 128, buttonsY, 50, 14);
    m_cancel = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    m_cancel->setAccessibleName(m_cancel->text());
    du.place(m_cancel, 183, buttonsY, 50, 14);

    setFixedSize(du.size(240, buttonsY + 21));

    m_deleteOld->setChecked(period.initiallyChecked());
    m_daysEdit->setEnabled(period.initiallyChecked());
    m_daysEdit->setText(QString::fromStdString(period.initialText()));

    connect(m_deleteOld, &QCheckBox::toggled, this, &CServerSettingsDlg::onDeleteOldToggled);
    connect(m_daysEdit, &QLineEdit::textChanged, this, &CServerSettingsDlg::updateOk);
    connect(m_ok, &QPushButton::clicked, this, &CServerSettingsDlg::accept);
    connect(m_cancel, &QPushButton::clicked, this, &CServerSettingsDlg::reject);
    updateOk();
}

void CServerSettingsDlg::onDeleteOldToggled(bool checked) {
    m_daysEdit->setEnabled(checked);
    if (checked) {
        m_daysEdit->setFocus();
    } else {
        m_daysEdit->clear();
    }
    updateOk();
}

void CServerSettingsDlg::updateOk() {
    m_ok->setEnabled(
        CHoldPeriod::canConfirm(m_deleteOld->isChecked(), m_daysEdit->text().toStdString()));
}

void CServerSettingsDlg::accept() {
    const std::string text = m_daysEdit->text().toStdString();
    // Enter in the days field reaches here too, even while OK is disabled.
    if (!CHoldPeriod::canConfirm(m_deleteOld->isChecked(), text)) return;
    m_days = CHoldPeriod::confirmedDays(m_deleteOld->isChecked(), text);
    QDialog::accept();
}

}  // namespace tovi
