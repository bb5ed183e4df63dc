// CUserSettingsDlg: the modal user settings dialog "ユーザー設定": the announcement check boxes
// (sound, window, desktop notification) and the mail directory. OK completes the directory with a
// trailing '/', creates it on request and refuses what cannot be used (CUserSettingsRules); the
// caller stores the values. Fixed size. GUI thread only.
#pragma once

#include <QDialog>
#include <string>

class QCheckBox;

namespace tovi {

class CCp932LineEdit;

class CUserSettingsDlg : public QDialog {
    Q_OBJECT

  public:
    // The current DIR (cp932), BEEP, WINUP, READBEEP and READWINUP.
    CUserSettingsDlg(const std::string& dir, int beep, int winUp, int readBeep, int readWinUp,
                     QWidget* parent = nullptr);

    // After Accepted: the new values; dir ends with '/' and exists.
    const std::string& dir() const { return m_dir; }
    int beep() const { return m_beep; }
    int winUp() const { return m_winUp; }
    int readBeep() const { return m_readBeep; }
    int readWinUp() const { return m_readWinUp; }
    // NOTIFY: shown as given before exec() (on when never set), the choice after Accepted.
    void setNotify(int notify);
    int notify() const { return m_notify; }

    void accept() override;

  private:
    int m_beep;
    int m_winUp;
    std::string m_dir;
    int m_readBeep;
    int m_readWinUp;
    int m_notify = 1;
    QCheckBox* m_beepBox;
    QCheckBox* m_winUpBox;
    QCheckBox* m_readBeepBox;
    QCheckBox* m_readWinUpBox;
    QCheckBox* m_notifyBox;
    CCp932LineEdit* m_dirEdit;
};

}  // namespace tovi
