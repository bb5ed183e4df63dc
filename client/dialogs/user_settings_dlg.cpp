#include "client/dialogs/user_settings_dlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "client/dialogs/cp932_line_edit.h"
#include "client/dialogs/dialog_texts.h"
#include "client/dialogs/user_settings_rules.h"
#include "ui/qt/dialog_units.h"

namespace tovi {

CUserSettingsDlg::CUserSettingsDlg(const std::string& dir, int beep, int winUp, int readBeep,
                                   int readWinUp, QWidget* parent)
    : QDialog(parent),
      m_beep(beep),
      m_winUp(winUp),
      m_dir(dir),
      m_readBeep(readBeep),
      m_readWinUp(readWinUp) {
    setFont(CDialogUnits::dialogFont());
    setWindowTitle(QStringLiteral("ユーザー設定"));
    const CDialogUnits du(font());

    auto check = [&](const char* utf8, int value, int y) {
        const QString text = QString::fromUtf8(utf8);
        auto* box = named(new QCheckBox(text, this), text);
        box->setChecked(value != 0);
        du.place(box, 10, y, 236, 11);
        return box;
    };
    m_beepBox = check("メッセージ到着時に音を鳴らす(Windows95用)", beep, 8);
    m_winUpBox = check("メッセージ到着時にウィンドウを表示する", winUp, 22);
    m_readBeepBox = check("相手がメッセージを読んだ時に音を鳴らす(Windows95用)", readBeep, 36);
    m_readWinUpBox = check("相手がメッセージを読んだ時にウィンドウを表示する", readWinUp, 50);
    m_notifyBox = check("メッセージ到着時にデスクトップ通知を表示する", m_notify, 64);

    du.place(
        new QLabel(QStringLiteral("ユーザーディレクトリ\n   メールを保存するディレクトリです。"),
                   this),
        10, 82, 236, 20);
    m_dirEdit = named(new CCp932LineEdit(CUserSettingsRules::DIR_LIMIT, this),
                      QStringLiteral("ユーザーディレクトリ"));
    du.place(m_dirEdit, 10, 105, 236, 13);
    m_dirEdit->setCp932Text(dir);
    du.place(new QLabel(QStringLiteral("例：  /home/username/tovi/"), this), 10, 121, 236, 10);

    auto* ok = named(new QPushButton(QStringLiteral("OK"), this), QStringLiteral("OK"));
    auto* cancel = named(new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this), QStringLiteral("ｷｬﾝｾﾙ"));
    du.place(ok, 140, 138, 50, 14);
    du.place(cancel, 196, 138, 50, 14);
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &CUserSettingsDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CUserSettingsDlg::reject);
    setFixedSize(du.x(256), du.y(160));
    m_dirEdit->setFocus();
}

void CUserSettingsDlg::setNotify(int notify) {
    m_notify = notify;
    m_notifyBox->setChecked(notify != 0);
}

void CUserSettingsDlg::accept() {
    m_beep = m_beepBox->isChecked() ? 1 : 0;
    m_winUp = m_winUpBox->isChecked() ? 1 : 0;
    m_readBeep = m_readBeepBox->isChecked() ? 1 : 0;
    m_readWinUp = m_readWinUpBox->isChecked() ? 1 : 0;
    m_notify = m_notifyBox->isChecked() ? 1 : 0;
    std::string dir = m_dirEdit->cp932Text();
    const CUserSettingsRules::Outcome outcome = CUserSettingsRules::acceptDirectory(dir);
    if (outcome == CUserSettingsRules::REFUSED) return;
    m_dirEdit->setCp932Text(dir);
    if (outcome == CUserSettingsRules::REFUSED_COMPLETED) return;
    m_dir = dir;
    QDialog::accept();
}

}  // namespace tovi
