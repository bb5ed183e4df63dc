#include "client/dialogs/compose_dlg.h"

#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>

#include "client/dialogs/compose_text.h"
#include "client/dialogs/cp932_line_edit.h"
#include "client/dialogs/cp932_text_edit.h"
#include "client/dialogs/dialog_texts.h"
#include "platform/cp932.h"
#include "ui/message_boxes.h"
#include "ui/qt/dialog_units.h"

namespace tovi {

namespace {

// The layout below is given in pixels of a 13-pixel dialog font; larger fonts scale it.
double layoutScale(const QFont& font) { return std::max(1.0, QFontMetricsF(font).height() / 13.0); }

}  // namespace

CComposeDlg::CComposeDlg(QWidget* parent) : QDialog(parent) {
    setFont(CDialogUnits::dialogFont());
    setWindowTitle(QStringLiteral("送信メッセージ"));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    setSizeGripEnabled(true);
    const double s = layoutScale(font());

    auto* label = new QLabel(QStringLiteral("タイトル"), this);
    label->setGeometry(qRound(8 * s), qRound(14 * s), qRound(54 * s), qRound(16 * s));
    m_titleEdit =
        named(new CCp932LineEdit(CComposeText::TITLE_LIMIT, this), QStringLiteral("タイトル"));
    m_titleEdit->resize(m_titleEdit->width(), m_titleEdit->sizeHint().height());
    m_bodyEdit = named(new CCp932TextEdit(CComposeText::BODY_LIMIT, this), QStringLiteral("本文"));
    m_bodyEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_bodyEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_bodyEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_bodyEdit->setTabChangesFocus(true);
    m_send = named(new QPushButton(QStringLiteral("送信"), this), QStringLiteral("送信"));
    m_cancel = named(new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this), QStringLiteral("ｷｬﾝｾﾙ"));
    m_send->setDefault(true);
    m_send->resize(qRound(90 * s), qRound(23 * s));
    m_cancel->setAutoDefault(false);
    connect(m_send, &QPushButton::clicked, this, &CComposeDlg::accept);
    connect(m_cancel, &QPushButton::clicked, this, &CComposeDlg::reject);

    setMinimumSize(qRound(260 * s), qRound(160 * s));
    resize(qRound(480 * s), qRound(360 * s));
    m_titleEdit->setFocus();
}

void CComposeDlg::setBody(const std::string& cp932) {
    m_bodyEdit->setCp932Text(cp932);
    m_bodyEdit->moveCursor(QTextCursor::End);
}

void CComposeDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const double s = layoutScale(font());
    const int w = width();
    const int h = height();
    const int bw = qRound(90 * s);
    const int bh = qRound(23 * s);
    const int sendHeight = m_send->height();
    m_send->setGeometry(qRound(12 * s), h - qRound(35 * s), bw, bh);
    m_cancel->setGeometry(w - qRound(102 * s), h - qRound(35 * s), bw, bh);
    const int titleHeight = m_titleEdit->height();
    m_titleEdit->setGeometry(qRound(63 * s), qRound(11 * s), w - qRound(77 * s), titleHeight);
    m_bodyEdit->setGeometry(qRound(12 * s), titleHeight + qRound(18 * s), w - qRound(26 * s),
                            std::max(0, h - sendHeight - qRound(63 * s)));
}

void CComposeDlg::accept() {
    m_title = m_titleEdit->cp932Text();
    m_body = m_bodyEdit->cp932Text();
    CComposeText::Verdict verdict = CComposeText::check(m_title, m_body);
    for (const std::string& message : verdict.messages) showMessage(message);
    if (!verdict.accepted) return;
    m_body = std::move(verdict.text);
    m_textLength = static_cast<int>(m_body.size());
    QDialog::accept();
}

void CComposeDlg::reject() {
    m_title = m_titleEdit->cp932Text();
    m_body = m_bodyEdit->cp932Text();
    if (CComposeText::cancelNeedsQuestion(m_title, m_body) &&
        showMessage(cp932Of("編集された内容は破棄されます。よろしいですか？"), MB_OKCANCEL) !=
            IDOK) {
        return;
    }
    QDialog::reject();
}

}  // namespace tovi
