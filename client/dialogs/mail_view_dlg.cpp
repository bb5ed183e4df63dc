#include "client/dialogs/mail_view_dlg.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>

#include "client/dialogs/client_settings.h"
#include "client/dialogs/dialog_texts.h"
#include "client/dialogs/mail_view_text.h"
#include "platform/cp932.h"
#include "ui/message_boxes.h"
#include "ui/qt/dialog_units.h"

namespace tovi {

namespace {

double layoutScale(const QFont& font) { return std::max(1.0, QFontMetricsF(font).height() / 13.0); }

}  // namespace

CMailViewDlg::CMailViewDlg(const std::string& mailPath, int sent, CClientSettings* settings,
                           QWidget* parent)
    : QDialog(parent), m_path(mailPath), m_sent(sent), m_settings(settings) {
    setFont(CDialogUnits::dialogFont());
    setWindowTitle(QStringLiteral("メッセージ表示"));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    setSizeGripEnabled(true);
    const double s = layoutScale(font());

    m_menuBar = new QMenuBar(this);
    QMenu* file = m_menuBar->addMenu(QStringLiteral("ファイル(&F)"));
    QAction* save = file->addAction(QStringLiteral("名前を指定して保存(&S)"));
    connect(save, &QAction::triggered, this, &CMailViewDlg::saveAs);

    auto* label = new QLabel(QStringLiteral("タイトル"), this);
    label->setObjectName(QStringLiteral("titleLabel"));
    m_titleEdit = named(new QLineEdit(this), QStringLiteral("タイトル"));
    m_titleEdit->setReadOnly(true);
    m_titleEdit->resize(m_titleEdit->width(), m_titleEdit->sizeHint().height());
    m_bodyEdit = named(new QPlainTextEdit(this), QStringLiteral("本文"));
    m_bodyEdit->setReadOnly(true);
    m_bodyEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_bodyEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_bodyEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_quote = named(new QCheckBox(QStringLiteral("引用"), this), QStringLiteral("引用"));
    m_quote->resize(m_quote->sizeHint().width(), qRound(23 * s));
    m_reply = named(new QPushButton(QStringLiteral("返信"), this), QStringLiteral("返信"));
    m_close = named(new QPushButton(QStringLiteral("閉じる"), this), QStringLiteral("閉じる"));
    m_reply->resize(qRound(90 * s), qRound(23 * s));
    m_reply->setAutoDefault(false);
    m_close->setDefault(true);
    m_close->setFocus();
    connect(m_reply, &QPushButton::clicked, this, &CMailViewDlg::accept);
    connect(m_close, &QPushButton::clicked, this, &CMailViewDlg::reject);

    setMinimumSize(qRound(280 * s), qRound(180 * s));
    resize(qRound(480 * s), qRound(360 * s));

    m_loaded = CMailViewText::load(m_path, m_sent, m_title, m_body);
    if (m_loaded) {
        m_titleEdit->setText(fromCp932(m_title));
        m_titleEdit->setCursorPosition(0);  // a long title shows its beginning
        m_bodyEdit->setPlainText(fromCp932(m_body));
        if (m_sent == 1) {
            m_quote->hide();
            m_reply->hide();
        }
    } else {
        m_title.clear();
        m_body.clear();
    }
}

void CMailViewDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_loaded || m_failureShown) return;
    m_failureShown = true;
    // Told once the (empty) dialog is on the screen.
    QMetaObject::invokeMethod(
        this, [] { showMessage(cp932Of("メールファイルの読み込みに失敗しました。\n")); },
        Qt::QueuedConnection);
}

void CMailViewDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const double s = layoutScale(font());
    const int top = m_menuBar->sizeHint().height();
    m_menuBar->setGeometry(0, 0, width(), top);
    const int w = width();
    const int h = height() - top;
    const int quoteWidth = m_quote->width();
    const int replyHeight = m_reply->height();
    m_quote->setGeometry(qRound(12 * s), top + h - qRound(33 * s), quoteWidth, qRound(23 * s));
    m_reply->setGeometry(quoteWidth + qRound(32 * s), top + h - qRound(35 * s), qRound(90 * s),
                         qRound(23 * s));
    m_close->setGeometry(w - qRound(102 * s), top + h - qRound(35 * s), qRound(90 * s),
                         qRound(23 * s));
    if (auto* label = findChild<QLabel*>(QStringLiteral("titleLabel"))) {
        label->setGeometry(qRound(8 * s), top + qRound(14 * s), qRound(54 * s), qRound(16 * s));
    }
    const int titleHeight = m_titleEdit->height();
    m_titleEdit->setGeometry(qRound(63 * s), top + qRound(11 * s), w - qRound(77 * s), titleHeight);
    m_bodyEdit->setGeometry(qRound(12 * s), top + titleHeight + qRound(18 * s), w - qRound(26 * s),
                            std::max(0, h - replyHeight - qRound(63 * s)));
}

void CMailViewDlg::accept() {
    m_quoteFlag = m_quote->isChecked() ? 1 : 0;
    QDialog::accept();
}

void CMailViewDlg::saveAs() {
    QString folder;
    if (m_settings != nullptr && !m_settings->saveDir().empty()) {
        std::string utf8;
        if (cp932ToUtf8(m_settings->saveDir(), utf8)) folder = QString::fromStdString(utf8);
    }
    // Without a remembered folder the save starts in the home folder.
    if (folder.isEmpty()) folder = QDir::homePath();
    QFileDialog dialog(this, QStringLiteral("名前を指定して保存"), folder, QStringLiteral("*.txt"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(QStringLiteral("*.txt"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    saveTo(dialog.selectedFiles().first());
}

void CMailViewDlg::saveTo(const QString& path) {
    const std::string fsPath = path.toStdString();
    if (CMailViewText::save(fsPath, m_body) != CMailViewText::SAVED) {
        showMessage(cp932Of("メッセージの保存に失敗しました。\n"));
        return;
    }
    std::string folder;
    if (m_settings != nullptr && fsPath.find('/') != std::string::npos &&
        utf8ToCp932(CMailViewText::folderOf(fsPath), folder)) {
        m_settings->setSaveDir(folder);
    }
}

}  // namespace tovi
