#include "server/app/server_main_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>

#include "platform/cp932.h"
#include "server/app/hold_period.h"
#include "server/app/server_about_dlg.h"
#include "server/app/server_app.h"
#include "server/app/server_settings_dlg.h"
#include "ui/message_boxes.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/program_icon.h"

namespace tovi {

const char* const CServerMainDlg::TITLE = "トヴィカサーバー";

namespace {

QPushButton* makeButton(QWidget* parent, const char* text, const CDialogUnits& du, int y) {
    auto* button = new QPushButton(QString::fromUtf8(text), parent);
    button->setAccessibleName(button->text());
    // Enter always reloads, whichever button has the focus.
    button->setAutoDefault(false);
    du.place(button, 136, y, 84, 14);
    return button;
}

}  // namespace

QIcon CServerMainDlg::programIcon() { return CProgramIcon::icon(); }

std::string CServerMainDlg::shutDownQuestion() {
    return cp932Of(
        "サーバーを終了すると接続中の全クライアントは切断されます。\n"
        "終了しますか？");
}

CServerMainDlg::CServerMainDlg(CServerApp& app, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_app(app),
      m_users(app.userFilePath()),
      m_tray(programIcon(), QString::fromUtf8(TITLE)) {
    setWindowTitle(QString::fromUtf8(TITLE));
    setWindowIcon(programIcon());
    setFont(CDialogUnits::dialogFont());
    const CDialogUnits du(font());

    m_list = new QListWidget(this);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_list->setAccessibleName(QStringLiteral("登録ユーザー"));
    du.place(m_list, 7, 7, 120, 124);

    auto* caption = new QLabel(QStringLiteral("登録ユーザー数"), this);
    caption->setAccessibleName(caption->text());
    du.place(caption, 7, 137, 64, 10);
    // The count speaks for itself (its number), labelled by the caption.
    m_count = new QLabel(QStringLiteral("0"), this);
    m_count->setAccessibleName(m_count->text());
    m_count->setAccessibleDescription(caption->text());
    caption->setBuddy(m_count);
    du.place(m_count, 66, 137, 36, 10);

    m_reload = makeButton(this, "ユーザー情報 再読込", du, 7);
    m_reload->setAutoDefault(true);
    m_reload->setDefault(true);
    m_delete = makeButton(this, "ユーザー削除", du, 27);
    m_settings = makeButton(this, "設定...", du, 47);
    m_shutDown = makeButton(this, "サーバー終了", du, 97);
    m_hide = makeButton(this, "タスクバーへ収納", du, 117);

    setFixedSize(du.size(227, 152));

    connect(m_reload, &QPushButton::clicked, this, &CServerMainDlg::reload);
    connect(m_delete, &QPushButton::clicked, this, &CServerMainDlg::deleteSelected);
    connect(m_settings, &QPushButton::clicked, this, &CServerMainDlg::openSettings);
    connect(m_shutDown, &QPushButton::clicked, this, &CServerMainDlg::askShutDown);
    connect(m_hide, &QPushButton::clicked, this, &CServerMainDlg::hideIntoTray);
    connect(&m_tray, &CTrayIcon::leftClicked, this, &CServerMainDlg::restoreFromTray);

    reload();
}

void CServerMainDlg::showCount() {
    m_count->setText(QString::number(m_users.count()));
    m_count->setAccessibleName(m_count->text());
}

void CServerMainDlg::reload() {
    m_users.reload();
    m_list->clear();
    for (const CUserList::Line& line : m_users.lines())
        m_list->addItem(QString::fromStdString(line.display));
    showCount();
}

void CServerMainDlg::deleteSelected() {
    const QList<QListWidgetItem*> selected = m_list->selectedItems();
    if (selected.isEmpty()) return;
    const int row = m_list->row(selected.first());
    if (row < 0 || static_cast<size_t>(row) >= m_users.count()) return;
    m_selectedName = m_users.removeAt(static_cast<size_t>(row));
    m_app.deleteUser(m_selectedName);
    delete m_list->takeItem(row);
    // Nothing stays selected, so that a second press cannot delete a neighbour by mistake.
    m_list->clearSelection();
    m_list->setCurrentRow(-1);
    showCount();
}

void CServerMainDlg::openSettings() {
    const CHoldPeriod period(m_app.holdLimit());
    CServerSettingsDlg dialog(period, this);
    if (dialog.exec() != QDialog::Accepted) return;
    int32_t newLimit = 0;
    if (period.changedLimit(dialog.days(), newLimit)) m_app.changeHoldLimit(newLimit);
}

void CServerMainDlg::askShutDown() {
    if (showMessage(shutDownQuestion(), MB_OKCANCEL) != IDOK) return;
    shutDownNow();
}

void CServerMainDlg::shutDownNow() {
    m_closing = true;
    // A dialog or question still open over the window is answered with Cancel first.
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog != nullptr && dialog != this && dialog->isVisible()) dialog->reject();
    }
    m_tray.hide();
    done(QDialog::Accepted);
}

bool CServerMainDlg::trayAvailable() const { return CTrayIcon::isAvailable(); }

void CServerMainDlg::hideIntoTray() {
    if (!trayAvailable()) {
        // No tray to come back from: the task bar brings the window back.
        showMinimized();
        return;
    }
    m_savedPosition = pos();
    m_tray.show();
    hide();
}

void CServerMainDlg::restoreFromTray() {
    m_tray.hide();
    move(m_savedPosition);
    showNormal();
    raise();
    activateWindow();
}

void CServerMainDlg::showAbout() {
    CServerAboutDlg about(this);
    about.exec();
}

void CServerMainDlg::reject() { hideIntoTray(); }

void CServerMainDlg::closeEvent(QCloseEvent* event) {
    if (m_closing) {
        event->accept();
        return;
    }
    event->ignore();
    hideIntoTray();
}

void CServerMainDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(Tovis) (&A)..."), this, &CServerMainDlg::showAbout);
    menu.exec(event->globalPos());
}

}  // namespace tovi
