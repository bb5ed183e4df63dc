// CRegisterDlg: the modal registration dialog "サーバにユーザ登録": server address (dotted IPv4 or
// a host name), user name and group (each stopping at 20 cp932 bytes). With the first-run flag
// clear the address is locked. OK reports whether anything changed (CRegistration); the caller
// stores the values. Fixed size. GUI thread only.
#pragma once

#include <QDialog>
#include <string>

#include "client/dialogs/registration.h"

class QLineEdit;

namespace tovi {

class CCp932LineEdit;

class CRegisterDlg : public QDialog {
    Q_OBJECT

  public:
    // firstRun non-zero: the address can be edited. address, name, group: the current ADDRESS,
    // NAME and GROUP (cp932).
    CRegisterDlg(int firstRun, const std::string& address, const std::string& name,
                 const std::string& group, QWidget* parent = nullptr);

    // After Accepted: 1 when address, name or group differ from the values given, and the values.
    // An accepted dialog never returns an empty name or group, nor an edited address 0.0.0.0.
    int changed() const { return m_rules.changed(); }
    const std::string& address() const { return m_rules.address(); }
    const std::string& name() const { return m_rules.name(); }
    const std::string& group() const { return m_rules.group(); }

    void accept() override;

  private:
    CRegistration m_rules;
    QLineEdit* m_addressEdit;
    CCp932LineEdit* m_nameEdit;
    CCp932LineEdit* m_groupEdit;
};

}  // namespace tovi
