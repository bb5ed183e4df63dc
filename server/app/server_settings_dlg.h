// CServerSettingsDlg: the holding-period dialog "設定". A tick in "古いメールは削除する" enables
// the days field (digits only, at most 4); clearing it disables and empties the field. Confirming
// returns the days (0 with the box clear or the field empty: mail is kept for ever). A limit the
// days cannot show exactly is named below them as the file holds it.
//
// GUI thread only; modal over the main window, created for one use.
#pragma once

#include <QDialog>

#include "server/app/hold_period.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tovi {

class CServerSettingsDlg : public QDialog {
    Q_OBJECT

  public:
    // period: the hold limit in force, which the dialog opens with.
    explicit CServerSettingsDlg(const CHoldPeriod& period, QWidget* parent = nullptr);

    // The days confirmed with OK.
    int days() const { return m_days; }

    QCheckBox* deleteOldBox() const { return m_deleteOld; }
    QLineEdit* daysEdit() const { return m_daysEdit; }
    QPushButton* okButton() const { return m_ok; }
    // The note on a limit the days cannot show exactly; null when there is none.
    QLabel* fileNote() const { return m_fileNote; }

  public slots:
    void accept() override;

  private:
    void onDeleteOldToggled(bool checked);
    void updateOk();

    QCheckBox* m_deleteOld;
    QLineEdit* m_daysEdit;
    QLabel* m_fileNote = nullptr;
    QPushButton* m_ok;
    QPushButton* m_cancel;
    int m_days;
};

}  // namespace tovi
