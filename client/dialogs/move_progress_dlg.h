// CMoveProgressDlg: the modal progress dialog "メールを移動しています" shown while the user's mail
// is taken along to a new mail directory: a bar and the count of files done. It has no buttons and
// ignores Escape and the close box (a move in progress is not abandoned half-way); its owner
// updates it with setProgress() and closes it with done(). GUI thread only.
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;

namespace tovi {

class CMoveProgressDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CMoveProgressDlg(QWidget* parent = nullptr);

    // total 0: not known yet (the files are being listed); the bar then runs without an end.
    void setProgress(int done, int total);
    QString countText() const;

  public slots:
    void reject() override {}

  private:
    QProgressBar* m_bar;
    QLabel* m_count;
};

}  // namespace tovi
