#include "client/dialogs/register_dlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "client/dialogs/cp932_line_edit.h"
#include "client/dialogs/dialog_texts.h"
#include "ui/message_boxes.h"
#include "ui/qt/dialog_units.h"

namespace tovi {

CRegisterDlg::CRegisterDlg(int firstRun, const std::string& address, const std::string& name,
                           const std::string& group, QWidget* parent)
    : QDialog(parent), m_rules(firstRun, address, name, group) {
    setFont(CDialogUnits::dialogFont());
    setWindowTitle(QStringLiteral("サーバにユーザ登録"));
    const CDialogUnits du(font());

    du.place(new QLabel(QStringLiteral("サーバアドレス"), this), 10, 10, 66, 10);
    m_addressEdit = named(new QLineEdit(this), QStringLiteral("サーバアドレス"));
    du.place(m_addressEdit, 78, 8, 84, 13);
    // A dotted address or a host name, typed key by key: letters, digits, dots and hyphens, at
    // most 23 bytes. Whether it is a usable address is judged on OK.
    m_addressEdit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(
            QStringLiteral("^[A-Za-z0-9.-]{0,%1}$").arg(CRegistration::ADDRESS_LIMIT)),
        m_addressEdit));
    m_addressEdit->setText(fromCp932(m_rules.shownAddress()));
    m_addressEdit->setEnabled(m_rules.addressEditable());
    du.place(new QLabel(QStringLiteral("例：  192.168.200.1"), this), 78, 24, 100, 10);

    du.place(new QLabel(QStringLiteral("ユーザ名"), this), 10, 44, 66, 10);
    m_nameEdit = named(new CCp932LineEdit(static_cast<int>(CRegistration::NAME_LIMIT), this),
                       QStringLiteral("ユーザ名"));
    du.place(m_nameEdit, 78, 42, 112, 13);
    m_nameEdit->setCp932Text(name);
    du.place(new QLabel(QStringLiteral("ユーザグループ"), this), 10, 62, 66, 10);
    m_groupEdit = named(new CCp932LineEdit(static_cast<int>(CRegistration::NAME_LIMIT), this),
                        QStringLiteral("ユーザグループ"));
    du.place(m_groupEdit, 78, 60, 112, 13);
    m_groupEdit->setCp932Text(group);

    auto* ok = named(new QPushButton(QStringLiteral("OK"), this), QStringLiteral("OK"));
    auto* cancel = named(new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this), QStringLiteral("ｷｬﾝｾﾙ"));
    du.place(ok, 84, 84, 50, 14);
    du.place(cancel, 140, 84, 50, 14);
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &CRegisterDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CRegisterDlg::reject);
    setFixedSize(du.x(200), du.y(106));
    if (m_rules.addressEditable()) {
        m_addressEdit->setFocus();
    } else {
        m_nameEdit->setFocus();
    }
}

void CRegisterDlg::accept() {
    // A field left as it was shown hands back the stored bytes, whatever their form.
    const QString field = m_addressEdit->text();
    const std::string address =
        field == fromCp932(m_rules.shownAddress()) ? m_rules.shownAddress() : toCp932(field);
    const std::string refusal =
        m_rules.accept(address, m_nameEdit->cp932Text(), m_groupEdit->cp932Text());
    if (!refusal.empty()) {
        showMessage(refusal);
        return;
    }
    QDialog::accept();
}

}  // namespace tovi
