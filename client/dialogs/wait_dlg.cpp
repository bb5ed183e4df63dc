#include "client/dialogs/wait_dlg.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <cmath>

#include "client/connection/packet_mailbox.h"
#include "client/dialogs/dialog_texts.h"
#include "protocol/packets.h"
#include "ui/qt/dialog_units.h"

namespace tovi {

namespace {

// The waiting animation: eight dots on a circle, the bright one stepping round once per second
// at the dialog's 100 ms tick, and a sheet of paper that the dots circle.
class CWaitAnimation : public QWidget {
  public:
    CWaitAnimation(const int& frame, QWidget* parent) : QWidget(parent), m_frame(frame) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QPointF centre(width() / 2.0, height() / 2.0);
        const double radius = std::min(width(), height()) / 2.0 - 5;
        const QRectF sheet(centre.x() - radius * 0.35, centre.y() - radius * 0.45, radius * 0.7,
                           radius * 0.9);
        p.setPen(QPen(QColor(90, 110, 150), 1));
        p.setBrush(QColor(250, 250, 240));
        p.drawRect(sheet);
        for (int line = 1; line <= 3; ++line) {
            const double y = sheet.top() + sheet.height() * line / 4.5;
            p.drawLine(QPointF(sheet.left() + 3, y), QPointF(sheet.right() - 3, y));
        }
        const int lit = m_frame % 8;
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 8; ++i) {
            const double angle = i * M_PI / 4 - M_PI / 2;
            const QPointF dot(centre.x() + radius * std::cos(angle),
                              centre.y() + radius * std::sin(angle));
            const int age = (lit - i + 8) % 8;  // 0: the bright one, then fading behind it
            p.setBrush(QColor::fromHsv(215, 200, 230, 255 - age * 28));
            const double size = age == 0 ? 4.5 : 3.2;
            p.drawEllipse(dot, size, size);
        }
    }

  private:
    const int& m_frame;
};

}  // namespace

CWaitDlg::CWaitDlg(CPacketMailbox& mailbox, int mode, QWidget* parent)
    : QDialog(parent), m_mailbox(mailbox), m_mode(mode) {
    setFont(CDialogUnits::dialogFont());
    setWindowTitle(QStringLiteral("返答待ち"));
    const CDialogUnits du(font());

    m_animation = named(new CWaitAnimation(m_frame, this), QStringLiteral("返答待ち"));
    du.place(m_animation, 8, 8, 40, 40);
    m_text = named(new QLabel(QStringLiteral("サーバと通信中です......."), this),
                   QStringLiteral("返答待ち"));
    m_text->setAlignment(Qt::AlignCenter);
    du.place(m_text, 52, 8, 120, 40);
    auto* cancel = named(new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this), QStringLiteral("ｷｬﾝｾﾙ"));
    du.place(cancel, 66, 56, 50, 14);
    connect(cancel, &QPushButton::clicked, this, &CWaitDlg::reject);
    setFixedSize(du.x(180), du.y(78));

    m_timer.setInterval(TICK_MS);
    connect(&m_timer, &QTimer::timeout, this, &CWaitDlg::tick);
    // Once closed either way, no later tick may turn a cancellation into an acceptance.
    connect(this, &QDialog::finished, &m_timer, &QTimer::stop);
}

bool CWaitDlg::conditionHolds(const CPacketMailbox& mailbox, int mode) {
    if (mode == WAIT_SENDING) return mailbox.peekSlot(nullptr, 1) == 0;
    return mailbox.getStatus() != ST_CONNECTING;
}

QString CWaitDlg::text() const { return m_text->text(); }

void CWaitDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_started) return;
    m_text->setText(m_mode == WAIT_SENDING ? QStringLiteral("サーバーと通信中です...")
                                           : QStringLiteral("サーバーに接続中です..."));
    m_timer.start();
    m_started = true;
}

void CWaitDlg::tick() {
    ++m_frame;
    m_animation->update();
    if (conditionHolds(m_mailbox, m_mode)) accept();
}

}  // namespace tovi
