// CSendTargetDlg: the modal destination dialog "メール送信先". Five radio buttons choose the send
// type, a sorted drop-down the group and a sorted list the member (marked ○ connected, ×
// not). The rules live in CSendTargetRules; this class only mirrors them in widgets.
// Created by the main window for one message, run once with exec(). GUI thread only.
#pragma once

#include <QDialog>
#include <string>

#include "client/dialogs/send_target_rules.h"

class QButtonGroup;
class QComboBox;
class QListWidget;
class QPushButton;

namespace tovi {

class CSendTargetDlg : public QDialog {
    Q_OBJECT

  public:
    // directory: the main window's user list (may be null; read only, must outlive the dialog).
    // ownGroup: the user's group (cp932).
    CSendTargetDlg(const CUserDirectory* directory, const std::string& ownGroup,
                   QWidget* parent = nullptr);

    // After Accepted: the send type (SEND_TO_USER ... SEND_TO_ALL_CONNECTED), the group (cp932,
    // every send type returns one) and, for SEND_TO_USER, the chosen user (cp932).
    int32_t sendType() const { return m_rules.sendType(); }
    const std::string& group() const { return m_rules.group(); }
    const std::string& chosenUser() const { return m_rules.chosenUser(); }

    void accept() override;

  private:
    void showMembers();
    void showEnabled();

    CSendTargetRules m_rules;
    QButtonGroup* m_types;
    QComboBox* m_groupBox;
    QListWidget* m_memberList;
};

}  // namespace tovi
