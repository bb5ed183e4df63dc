#include "client/dialogs/send_target_dlg.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

#include "client/dialogs/dialog_texts.h"
#include "protocol/packets.h"
#include "ui/message_boxes.h"
#include "ui/qt/dialog_units.h"

namespace tovi {

CSendTargetDlg::CSendTargetDlg(const CUserDirectory* directory, const std::string& ownGroup,
                               QWidget* parent)
    : QDialog(parent), m_rules(directory, ownGroup) {
    setFont(CDialogUnits::dialogFont());
    setWindowTitle(QStringLiteral("メール送信先"));
    const CDialogUnits du(font());

    auto* box = named(new QGroupBox(QStringLiteral("送信形態"), this), QStringLiteral("送信形態"));
    du.place(box, 7, 4, 186, 84);
    m_types = new QButtonGroup(this);
    struct Choice {
        int32_t type;
        const char* text;
    };
    static const Choice choices[] = {
        {SEND_TO_ALL, "ユーザー全員に送信"},
        {SEND_TO_ALL_CONNECTED, "接続しているユーザー全員に送信"},
        {SEND_TO_GROUP, "グループ全員に送信"},
        {SEND_TO_GROUP_CONNECTED, "接続しているグループ全員に送信"},
        {SEND_TO_USER, "ユーザーを指定して送信"},
    };
    int y = 16;
    for (const Choice& c : choices) {
        const QString text = QString::fromUtf8(c.text);
        auto* radio = named(new QRadioButton(text, this), text);
        du.place(radio, 16, y, 170, 12);
        m_types->addButton(radio, c.type);
        y += 14;
    }

    du.place(new QLabel(QStringLiteral("グループ名"), this), 7, 96, 50, 10);
    m_groupBox = named(new QComboBox(this), QStringLiteral("グループ名"));
    du.place(m_groupBox, 58, 94, 135, 14);
    m_groupBox->setMaxVisibleItems(12);

    du.place(new QLabel(QStringLiteral("接続"), this), 9, 114, 24, 10);
    du.place(new QLabel(QStringLiteral("名前"), this), 31, 114, 60, 10);
    m_memberList = named(new QListWidget(this), QStringLiteral("名前"));
    du.place(m_memberList, 7, 125, 186, 80);
    m_memberList->setSelectionMode(QAbstractItemView::SingleSelection);

    auto* ok = named(new QPushButton(QStringLiteral("OK"), this), QStringLiteral("OK"));
    auto* cancel = named(new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this), QStringLiteral("ｷｬﾝｾﾙ"));
    du.place(ok, 83, 212, 52, 14);
    du.place(cancel, 141, 212, 52, 14);
    ok->setDefault(true);
    ok->setAutoDefault(true);
    cancel->setAutoDefault(false);
    setFixedSize(du.x(200), du.y(233));

    for (const std::string& group : m_rules.groups().entries())
        m_groupBox->addItem(fromCp932(group));
    m_groupBox->setCurrentIndex(m_rules.selectedGroup());
    showMembers();
    showEnabled();

    connect(ok, &QPushButton::clicked, this, &CSendTargetDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CSendTargetDlg::reject);
    connect(m_types, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (!checked) return;
        m_rules.chooseSendType(id);
        showEnabled();
    });
    connect(m_groupBox, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_rules.selectGroup(index);
        showMembers();
    });
    connect(m_memberList, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row < 0) return;
        m_rules.selectMember(row);
        if (QAbstractButton* user = m_types->button(SEND_TO_USER)) user->setChecked(true);
        showEnabled();
    });
}

void CSendTargetDlg::showMembers() {
    const QSignalBlocker blocker(m_memberList);
    m_memberList->clear();
    for (const std::string& entry : m_rules.members().entries())
        m_memberList->addItem(fromCp932(entry));
    m_memberList->setCurrentRow(m_rules.selectedMember());
}

void CSendTargetDlg::showEnabled() {
    m_memberList->setEnabled(m_rules.memberListEnabled());
    m_groupBox->setEnabled(m_rules.groupListEnabled());
}

void CSendTargetDlg::accept() {
    const std::string refusal = m_rules.accept();
    if (!refusal.empty()) {
        showMessage(refusal);
        return;
    }
    QDialog::accept();
}

}  // namespace tovi
