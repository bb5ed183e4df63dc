// CWaitDlg: the small modal waiting dialog "返答待ち". From its first paint it plays a looping
// animation painted by the program and, every 100 ms, looks at the send worker's mailbox view:
// in WAIT_SENDING it closes with Accepted once the outbound slot is empty, in any other mode once
// the status is no longer ST_CONNECTING. "ｷｬﾝｾﾙ", Escape and the close box give up (Rejected).
// It only reads the mailbox. GUI thread only.
#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;

namespace tovi {

class CPacketMailbox;

class CWaitDlg : public QDialog {
    Q_OBJECT

  public:
    static constexpr int WAIT_SENDING = 1;
    static constexpr int WAIT_CONNECTING = 2;
    static constexpr int TICK_MS = 100;

    // mailbox: the send worker's view (must outlive the dialog).
    CWaitDlg(CPacketMailbox& mailbox, int mode, QWidget* parent = nullptr);

    // Whether the awaited condition holds now (one locked read of the mailbox).
    static bool conditionHolds(const CPacketMailbox& mailbox, int mode);

    // The line shown: "サーバと通信中です......." until the first paint replaces it.
    QString text() const;
    // Animation frames painted so far.
    int frame() const { return m_frame; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void tick();

    CPacketMailbox& m_mailbox;
    int m_mode;
    QWidget* m_animation;
    QLabel* m_text;
    bool m_started = false;
    int m_frame = 0;
    QTimer m_timer;
};

}  // namespace tovi
