#include "client/app/client_main_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <QWidget>
#include <cstdio>
#include <thread>

#include "client/app/app_text.h"
#include "client/app/client_app.h"
#include "client/app/mail_mover.h"
#include "client/app/mail_sender.h"
#include "client/app/unread_count.h"
#include "client/connection/message_file.h"
#include "client/dialogs/about_dlg.h"
#include "client/dialogs/client_settings.h"
#include "client/dialogs/compose_dlg.h"
#include "client/dialogs/compose_text.h"
#include "client/dialogs/mail_view_dlg.h"
#include "client/dialogs/move_progress_dlg.h"
#include "client/dialogs/send_target_dlg.h"
#include "client/dialogs/wait_dlg.h"
#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "ui/desktop_notifier.h"
#include "ui/message_boxes.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/program_icon.h"
#include "ui/qt/qt_message_boxes.h"
#include "ui/qt/tray_icon.h"

namespace tovi {

namespace {

// Layout in dialog units (x, y, width, height).
constexpr int CLIENT_WIDTH = 281;
constexpr int CLIENT_HEIGHT = 211;
// Mail texts read for the find bar at each step between events.
constexpr size_t PREPARE_STEP = 20;

struct ColumnTexts {
    const char* inbox;
    const char* sent;
};
// The headers carry their trailing ideographic spaces.
const ColumnTexts COLUMNS[4] = {
    {"読", "読"},
    {"相手送信日時　　　　", "送信日時　　　　　　"},
    {"送信者名　　　", "送信先　　　　"},
    {"タイトル　　　", "タイトル　　　"},
};

QString fromCp932(const std::string& cp932) { return qStringFromCp932(cp932); }

}  // namespace

QString CClientMainDlg::aboutEntryText() { return QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報(Tovic) (&A)..."); }

CClientMainDlg::CClientMainDlg(CClientApp& app, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_app(app),
      m_settings(app.settings()),
      m_control(app.settings(), *this) {
    buildWindow();
    m_pollTimer.setInterval(CConnectionControl::POLL_TIMER_MS);
    connect(&m_pollTimer, &QTimer::timeout, this, [this] { m_control.onPollTimer(); });
    // Between events, a few mail texts at a time, so that the find bar's first search only
    // searches memory and the window stays responsive meanwhile.
    m_prepareTimer.setInterval(0);
    connect(&m_prepareTimer, &QTimer::timeout, this, [this] {
        const std::string fsDir = fsDirectory();
        bool complete = true;
        for (int box : {INBOX, SENT_BOX})
            complete = m_filter[box].prepare(fsDir, m_rows[box], PREPARE_STEP) && complete;
        if (complete) m_prepareTimer.stop();
    });
}

CClientMainDlg::~CClientMainDlg() { finish(); }

QPushButton* CClientMainDlg::button(int id) const {
    switch (id) {
        case 1:
            return m_open;
        case 2:
            return m_close;
        case 3:
            return m_new;
        case 4:
            return m_toTray;
        case 5:
            return m_delete;
        default:
            return nullptr;
    }
}

void CClientMainDlg::buildWindow() {
    setWindowTitle(QStringLiteral("トヴィカ"));
    setAccessibleName(QStringLiteral("トヴィカ"));
    const QFont font = CDialogUnits::dialogFont();
    setFont(font);
    const CDialogUnits du(font);
    const QIcon icon = CProgramIcon::icon();
    setWindowIcon(icon);

    m_menuBar = new QMenuBar(this);
    m_menuBar->setAccessibleName(QStringLiteral("メニュー"));
    QMenu* settingsMenu = m_menuBar->addMenu(QStringLiteral("設定(&S)"));
    QAction* connection = settingsMenu->addAction(QStringLiteral("接続に関する設定(&C)"));
    QAction* others = settingsMenu->addAction(QStringLiteral("その他の設定(&O)"));
    connect(connection, &QAction::triggered, this, [this] { changeConnectionSettings(); });
    connect(others, &QAction::triggered, this, [this] { changeUserOptions(); });
    const int menuHeight = m_menuBar->sizeHint().height();
    m_menuBar->setGeometry(0, 0, du.x(CLIENT_WIDTH), menuHeight);

    auto place = [&](QWidget* w, int x, int y, int width, int height) {
        QRect r = du.rect(x, y, width, height);
        r.translate(0, menuHeight);
        w->setGeometry(r);
    };

    m_boxSelector = new QComboBox(this);
    m_boxSelector->addItem(QStringLiteral("受信ボックス"));
    m_boxSelector->addItem(QStringLiteral("送信ボックス"));
    m_boxSelector->setAccessibleName(QStringLiteral("ボックス"));
    place(m_boxSelector, 7, 3, 86, 12);
    connect(m_boxSelector, &QComboBox::currentIndexChanged, this, &CClientMainDlg::showBox);

    m_inbox = new QTreeWidget(this);
    m_sentBox = new QTreeWidget(this);
    setupList(m_inbox, INBOX);
    setupList(m_sentBox, SENT_BOX);
    place(m_inbox, 7, 17, 267, 173);
    place(m_sentBox, 7, 17, 267, 173);
    m_sentBox->hide();

    auto makeButton = [&](const char* text, int x, int y, int width, int height) {
        auto* b = new QPushButton(QString::fromUtf8(text), this);
        b->setAccessibleName(QString::fromUtf8(text));
        b->setAutoDefault(false);
        place(b, x, y, width, height);
        return b;
    };
    m_open = makeButton("表示", 7, 193, 78, 13);
    m_open->setDefault(true);
    m_new = makeButton("新規メール送信", 86, 193, 78, 13);
    m_delete = makeButton("削除", 166, 193, 45, 13);
    m_toTray = makeButton("タスクバーへ", 213, 193, 61, 13);
    m_close = makeButton("閉じる", 237, 190, 37, 14);
    m_close->hide();
    connect(m_open, &QPushButton::clicked, this, &CClientMainDlg::openSelected);
    connect(m_new, &QPushButton::clicked, this, &CClientMainDlg::requestUserList);
    connect(m_delete, &QPushButton::clicked, this, &CClientMainDlg::deleteMail);
    connect(m_toTray, &QPushButton::clicked, this, &CClientMainDlg::toTray);
    connect(m_close, &QPushButton::clicked, this, &CClientMainDlg::reject);

    // The Delete key anywhere in the window deletes the selected message and goes no further.
    auto* del = new QShortcut(QKeySequence(Qt::Key_Delete), this);
    del->setContext(Qt::WindowShortcut);
    connect(del, &QShortcut::activated, this, &CClientMainDlg::deleteMail);

    // The find bar, hidden until Ctrl+F: under the list, with the buttons moved down below it.
    m_findBar = new QWidget(this);
    m_findBar->setAccessibleName(QStringLiteral("検索バー"));
    auto* findLabel = new QLabel(QStringLiteral("検索"), m_findBar);
    findLabel->setAccessibleName(QStringLiteral("検索"));
    m_findField = new QLineEdit(m_findBar);
    m_findField->setAccessibleName(QStringLiteral("検索"));
    findLabel->setBuddy(m_findField);
    m_findCount = new QLabel(m_findBar);
    m_findCount->setAccessibleName(QStringLiteral("一致件数"));
    m_findClose = new QPushButton(QStringLiteral("×"), m_findBar);
    m_findClose->setAccessibleName(QStringLiteral("検索を閉じる"));
    m_findClose->setToolTip(QStringLiteral("検索を閉じる"));
    m_findClose->setAutoDefault(false);
    findLabel->setGeometry(du.rect(0, 1, 22, 11));
    m_findField->setGeometry(du.rect(22, 0, 170, 13));
    m_findCount->setGeometry(du.rect(196, 1, 52, 11));
    m_findClose->setGeometry(du.rect(252, 0, 15, 13));
    place(m_findBar, 7, 192, 267, 13);
    m_findBar->hide();
    m_findBarHeight = du.y(16);
    connect(m_findField, &QLineEdit::textChanged, this, [this] { applyFilter(); });
    connect(m_findClose, &QPushButton::clicked, this, &CClientMainDlg::closeFindBar);
    auto* find = new QShortcut(QKeySequence::Find, this);
    find->setContext(Qt::WindowShortcut);
    connect(find, &QShortcut::activated, this, &CClientMainDlg::openFindBar);

    setFixedSize(du.x(CLIENT_WIDTH), du.y(CLIENT_HEIGHT) + menuHeight);

    m_tray = std::make_unique<CTrayIcon>(icon, QStringLiteral("トヴィカ"));
    connect(m_tray.get(), &CTrayIcon::leftClicked, this, &CClientMainDlg::onTrayNotify);
}

void CClientMainDlg::setupList(QTreeWidget* list, int box) {
    list->setAccessibleName(box == INBOX ? QStringLiteral("受信ボックス")
                                         : QStringLiteral("送信ボックス"));
    list->setColumnCount(4);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSortingEnabled(false);
    list->setAllColumnsShowFocus(true);
    list->header()->setSectionsClickable(false);
    list->header()->setSectionsMovable(false);
    list->header()->setStretchLastSection(false);
    QStringList headers;
    const QFontMetrics metrics(list->font());
    for (int c = 0; c < 4; ++c) {
        const QString header = QString::fromUtf8(box == INBOX ? COLUMNS[c].inbox : COLUMNS[c].sent);
        headers << header;
    }
    list->setHeaderLabels(headers);
    for (int c = 0; c < 4; ++c) {
        const QString sizing =
            headers[c] + (c == 0 ? QStringLiteral("　") : QStringLiteral("  　"));
        list->setColumnWidth(c, metrics.horizontalAdvance(sizing));
    }
    connect(list, &QTreeWidget::itemDoubleClicked, this, [this, list, box](QTreeWidgetItem* item) {
        if (item != nullptr) openMail(list->indexOfTopLevelItem(item), box == INBOX);
    });
}

std::string CClientMainDlg::fsDirectory() const {
    std::string fsDir;
    CMessageFile::fsDirectory(m_settings.dir(), fsDir);
    // No directory chosen yet: the receive worker stores mail in the current directory.
    return fsDir.empty() ? std::string("./") : fsDir;
}

void CClientMainDlg::start() {
    m_ended = false;
    show();
    // The initialisation: both views bound, the registration flag handed to the first worker,
    // the poll timer and both workers started, both lists loaded.
    // A click on a notification does what a click on the tray icon does, with the box it speaks
    // of chosen.
    desktopNotifier().setHandlers(
        [this](DesktopNote::Kind kind) {
            m_notes.noteDismissed(kind);
            m_boxSelector->setCurrentIndex(kind == DesktopNote::NEW_MAIL ? INBOX : SENT_BOX);
            onTrayNotify();
        },
        [this](DesktopNote::Kind kind) { m_notes.noteDismissed(kind); });
    m_pollTimer.start();
    m_control.initialise(m_app.registrationChanged());
    if (m_ended) return;
    m_boxSelector->setCurrentIndex(0);
    loadMailbox(INBOX);
    loadMailbox(SENT_BOX);
}

void CClientMainDlg::finish() {
    if (m_finished) return;
    m_finished = true;
    m_pollTimer.stop();
    m_prepareTimer.stop();
    desktopNotifier().setHandlers(nullptr, nullptr);
    m_control.markClosing();
    m_control.stopWorkers();
    if (m_tray) m_tray->hide();
    // Mail read at the stop (and mail kept while the directory could not take it) is written into
    // the mail directory now; what it still cannot take is lost after the exit question said so,
    // or, stopped by a signal (nobody was asked), written into the configuration directory.
    if (m_control.unsavedCount() > 0) m_control.writeUnsaved(fsDirectory());
    if (m_app.stopRequested() && m_control.unsavedCount() > 0) {
        const std::string dir =
            (m_app.configDir().empty() ? std::string(".") : m_app.configDir()) + "/unsaved/";
        const size_t kept = m_control.unsavedCount();
        const size_t written = m_control.writeUnsaved(dir, true);
        std::fprintf(stderr,
                     "tovic: %zu received mail(s) could not be stored in the mail "
                     "directory; %zu written to %s\n",
                     kept, written, dir.c_str());
    }
}

void CClientMainDlg::showBox(int box) {
    if (box == INBOX) {
        m_inbox->show();
        m_sentBox->hide();
    } else if (box == SENT_BOX) {
        m_inbox->hide();
        m_sentBox->show();
    }
    applyFilter();
}

void CClientMainDlg::openFindBar() {
    if (!m_findOpen) {
        m_findOpen = true;
        for (QPushButton* b : {m_open, m_new, m_delete, m_toTray, m_close})
            b->move(b->x(), b->y() + m_findBarHeight);
        setFixedSize(width(), height() + m_findBarHeight);
        // The first search reads every listed mail's text once; later ones search memory.
        for (int box : {INBOX, SENT_BOX}) m_filter[box].prepare(fsDirectory(), m_rows[box]);
        m_findBar->show();
        applyFilter();
    }
    m_findField->setFocus();
    m_findField->selectAll();
}

void CClientMainDlg::closeFindBar() {
    if (!m_findOpen) return;
    m_findOpen = false;
    m_findBar->hide();
    for (QPushButton* b : {m_open, m_new, m_delete, m_toTray, m_close})
        b->move(b->x(), b->y() - m_findBarHeight);
    setFixedSize(width(), height() - m_findBarHeight);
    m_findField->clear();
    applyFilter();
    list(m_boxSelector->currentIndex() == SENT_BOX ? SENT_BOX : INBOX)->setFocus();
}

void CClientMainDlg::applyFilter() {
    const std::string query = m_findOpen ? m_findField->text().toStdString() : std::string();
    const int shownBox = m_boxSelector->currentIndex() == SENT_BOX ? SENT_BOX : INBOX;
    for (int box : {INBOX, SENT_BOX}) {
        QTreeWidget* list = this->list(box);
        std::vector<char> visible(m_rows[box].size(), query.empty() ? 1 : 0);
        if (!query.empty())
            for (size_t i : m_filter[box].match(m_rows[box], query)) visible[i] = 1;
        int count = 0;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = list->topLevelItem(i);
            const bool show = static_cast<size_t>(i) < visible.size() && visible[i] != 0;
            if (item->isHidden() == show) item->setHidden(!show);
            // A row the person cannot see is never the one a command acts on.
            if (!show && item->isSelected()) item->setSelected(false);
            count += show ? 1 : 0;
        }
        if (box == shownBox) m_findCount->setText(QStringLiteral("%1 件").arg(count));
    }
}

void CClientMainDlg::showUnreadCount() {
    if (!m_tray) return;
    m_unread = CUnreadCount::count(m_rows[INBOX]);
    m_tray->setBadge(QString::fromStdString(CUnreadCount::badgeText(m_unread)));
    m_tray->setToolTip(QString::fromStdString(CUnreadCount::toolTip(m_unread)));
    const bool hidden = m_inTray || isMinimized();
    setWindowTitle(QString::fromStdString(CUnreadCount::windowTitle(m_unread, hidden)));
}

void CClientMainDlg::showNote(const DesktopNote& note) { desktopNotifier().notify(note); }

void CClientMainDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) showUnreadCount();
}

void CClientMainDlg::loadMailbox(int box, bool announce) {
    QTreeWidget* list = this->list(box);
    m_rows[box] = CMailboxList::load(fsDirectory(), m_settings.name(), box);
    const std::vector<MailRow>& rows = m_rows[box];
    list->clear();
    QList<QTreeWidgetItem*> items;
    for (const MailRow& row : rows) {
        auto* item = new QTreeWidgetItem(QStringList{fromCp932(row.mark), fromCp932(row.date),
                                                     fromCp932(row.peer), fromCp932(row.title)});
        item->setData(0, Qt::UserRole, QByteArray::fromStdString(row.fileName));
        items << item;
    }
    list->addTopLevelItems(items);
    list->clearSelection();
    list->setCurrentItem(nullptr);
    if (m_findOpen) m_filter[box].prepare(fsDirectory(), rows);
    if (!m_ended) m_prepareTimer.start();
    applyFilter();
    const bool windowActive = isVisible() && !isMinimized() && isActiveWindow();
    DesktopNote note;
    if (m_notes.reloaded(box, rows, announce, m_settings.notify() != 0, windowActive, monotonicMs(),
                         note))
        showNote(note);
    if (box == INBOX) showUnreadCount();
}

void CClientMainDlg::reloadLists() {
    loadMailbox(INBOX);
    loadMailbox(SENT_BOX);
}

void CClientMainDlg::openSelected() {
    // The inbox's selection first, even while the sent box is shown.
    for (int box : {INBOX, SENT_BOX}) {
        const QList<QTreeWidgetItem*> selected = list(box)->selectedItems();
        if (!selected.isEmpty()) {
            openMail(list(box)->indexOfTopLevelItem(selected.first()), box == INBOX);
            return;
        }
    }
}

void CClientMainDlg::openMail(int index, bool inbox) {
    QTreeWidget* list = this->list(inbox ? INBOX : SENT_BOX);
    QTreeWidgetItem* item = list->topLevelItem(index);
    if (item == nullptr) return;
    const std::string path =
        fsDirectory() + item->data(0, Qt::UserRole).toByteArray().toStdString();
    MailHead head;
    if (!CMailboxList::readHead(path, head)) return;
    if (inbox) {
        char notice[MAIL_HEADER_SIZE];
        uint32_t length = 0;
        if (CMailboxList::readNotice(head, notice, length) &&
            !m_control.postRequest(PKT_MAIL, notice, length)) {
            showMessage(appText("メッセージの送信に失敗しました。\n"));
            return;
        }
    }
    CMailViewDlg view(path, head.box, &m_settings, this);
    const int result = view.exec();
    if (result == QDialog::Accepted && head.box == CMessageFile::BOX_RECEIVED) {
        const std::string quote = view.quoteFlag() ? view.body() : std::string();
        sendMail(SEND_TO_USER, head.peer, "", m_settings.name(), quote);
    }
    if (inbox && head.token != 0) loadMailbox(INBOX);
}

void CClientMainDlg::deleteMail() {
    // Only the list that is shown: a message the user cannot see is never deleted.
    QTreeWidget* list = m_boxSelector->currentIndex() == SENT_BOX ? m_sentBox : m_inbox;
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty()) return;
    QTreeWidgetItem* item = selected.first();
    const int box = list == m_sentBox ? SENT_BOX : INBOX;
    const int index = list->indexOfTopLevelItem(item);
    removeFile(fsDirectory() + item->data(0, Qt::UserRole).toByteArray().toStdString());
    delete item;
    if (index >= 0 && static_cast<size_t>(index) < m_rows[box].size())
        m_rows[box].erase(m_rows[box].begin() + index);
    if (box == INBOX) showUnreadCount();
    applyFilter();
}

void CClientMainDlg::requestUserList() {
    char body[USERLIST_REQ_BODY_SIZE];
    const uint32_t length = CMailSender::userListRequest(m_settings.group(), body);
    if (!m_control.postRequest(PKT_USERLIST_REQ, body, length))
        showMessage(appText("ユーザー情報の取得に失敗しました。\n"));
}

bool CClientMainDlg::onUserList(const char* reply, uint32_t length) {
    if (!CMailSender::parseUserList(reply, length, m_directory)) return false;
    CSendTargetDlg target(&m_directory, m_settings.group(), this);
    if (target.exec() == QDialog::Accepted)
        sendMail(target.sendType(), target.chosenUser(), target.group(), m_settings.name(), "");
    return true;
}

void CClientMainDlg::sendMail(int32_t sendType, const std::string& destName,
                              const std::string& destGroup, const std::string& sender,
                              const std::string& quote) {
    CComposeDlg compose(this);
    if (!quote.empty()) compose.setBody(CComposeText::quotationBlock(destName, quote));
    if (compose.exec() != QDialog::Accepted) return;
    const std::string fsDir = fsDirectory();
    // The file first: its name fixes the send time that the notice token carries.
    int32_t sendTime = nowSeconds();
    const bool written = CMailSender::placeSentMail(fsDir, m_settings.name(), sendType, destName,
                                                    compose.body(), sendTime);
    static char body[MAX_MAIL_BODY];
    const uint32_t length = CMailSender::mailRequest(sendType, destName, destGroup, sender,
                                                     sendTime, compose.body(), body);
    if (length == 0 || !m_control.postRequest(PKT_MAIL, body, length)) {
        if (written) removeFile(fsDir + CMessageFile::sentName(sendTime));
        showMessage(appText("メッセージの送信に失敗しました。\n"));
        return;
    }
    if (written) {
        loadMailbox(SENT_BOX);
    } else {
        showMessage(appText("送信済みメールファイルの作成失敗。\n"));
    }
}

bool CClientMainDlg::onMailResult(const char* reply, uint32_t length) {
    const std::string text = CMailSender::mailResultText(reply, length);
    if (text.empty()) return true;
    showMessage(text);
    return false;
}

bool CClientMainDlg::checkFlagFile(int box) {
    const std::string fsDir = fsDirectory();
    if (!CMessageFile::takeFlag(
            fsDir, box == INBOX ? CMessageFile::RECEIVED_FLAG : CMessageFile::SENT_FLAG))
        return false;
    if (box == INBOX ? m_settings.beep() : m_settings.readBeep()) beep();
    if (box == INBOX ? m_settings.winUp() : m_settings.readWinUp()) onTrayNotify();
    return true;
}

void CClientMainDlg::checkFlagFiles() {
    if (checkFlagFile(INBOX)) loadMailbox(INBOX, true);
    if (checkFlagFile(SENT_BOX)) loadMailbox(SENT_BOX, true);
}

void CClientMainDlg::toTray() {
    if (CTrayIcon::isAvailable()) {
        m_savedPosition = pos();
        m_tray->show();
        m_inTray = true;
        hide();
    } else {
        // Without a tray the window is minimised, so that it can always be brought back.
        showMinimized();
    }
    showUnreadCount();
}

void CClientMainDlg::onTrayNotify() {
    if (m_ended) return;
    m_tray->hide();
    if (m_inTray) {
        m_inTray = false;
        move(m_savedPosition);
    }
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
    showUnreadCount();
}

void CClientMainDlg::changeUserOptions() {
    const std::string oldDir = fsDirectory();
    if (!m_app.runUserSettingsDialog()) return;
    // No tick (and so no receive worker) runs until the move has ended.
    m_control.holdTicks(true);
    // The receive worker is stopped first, so that no mail lands in the old directory; the
    // window keeps painting meanwhile (it may be in a message box that this thread answers).
    m_control.postToReceiveWorker(20);
    {
        QEventLoop wait;
        QTimer look;
        const int64_t stopUntil = monotonicMs() + 3000;
        connect(&look, &QTimer::timeout, &wait, [&] {
            if (m_control.receiveWorkerRunning() && monotonicMs() < stopUntil) return;
            wait.quit();
        });
        look.start(10);
        if (m_control.receiveWorkerRunning()) wait.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (m_control.receiveWorkerRunning()) m_control.killWorkers(2);

    // The move on a thread of its own behind the progress dialog.
    CMailMover mover(oldDir, fsDirectory(), m_settings.name());
    std::thread moving([&mover] { mover.run(); });
    CMoveProgressDlg progress(this);
    QTimer step;
    step.setInterval(MOVE_STEP_MS);
    connect(&step, &QTimer::timeout, &progress, [&] {
        progress.setProgress(mover.done(), mover.total());
        if (mover.finished()) progress.done(QDialog::Accepted);
    });
    step.start();
    if (!mover.finished()) progress.exec();
    step.stop();
    if (!mover.finished()) mover.requestStop();  // closed by a stop signal: ends after this file
    moving.join();
    m_control.holdTicks(false);
    if (mover.left() > 0)
        showMessage(toCp932("メールの移動に失敗しました。\n" + std::to_string(mover.left()) +
                            " 件のメールが元のディレクトリに残っています。\n"));
    reloadLists();
}

void CClientMainDlg::showAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CClientMainDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* about = menu.addAction(aboutEntryText());
    connect(about, &QAction::triggered, this, &CClientMainDlg::showAbout);
    menu.exec(event->globalPos());
}

void CClientMainDlg::confirmExit() {
    if (m_control.closing()) {
        endWindow();
        return;
    }
    if (showMessage(exitQuestion(m_control.unsavedCount()), MB_OKCANCEL) != IDOK) return;
    // A request still queued gets a moment to leave; if it does not, the user is told, as its
    // sent-mail file would otherwise claim that it went out.
    if (m_control.outboundQueued() && !m_control.flushOutbound())
        showMessage(appText("メッセージの送信に失敗しました。\n"));
    endWindow();
}

std::string CClientMainDlg::exitQuestion(size_t unsaved) {
    if (unsaved == 0) return appText("トヴィカを終了します。");
    // Mail the directory could not take so far is lost with the program: the user may cancel and
    // choose another directory first.
    return toCp932("保存できていない受信メールが " + std::to_string(unsaved) +
                   " 通あります。\n終了するとこのメールは失われます。\nトヴィカを終了します。");
}

void CClientMainDlg::endWithoutQuestion() {
    if (m_ended) return;
    if (m_control.outboundQueued()) m_control.flushOutbound();
    endWindow();
}

void CClientMainDlg::endWindow() {
    if (m_ended) return;
    m_control.markClosing();
    m_ended = true;
    m_pollTimer.stop();
    m_prepareTimer.stop();
    m_tray->hide();
    done(QDialog::Rejected);
}

void CClientMainDlg::reject() {
    // Esc closes the find bar first; with the bar closed it asks to end, as the close box does.
    if (m_findOpen) {
        closeFindBar();
        return;
    }
    confirmExit();
}

void CClientMainDlg::closeEvent(QCloseEvent* event) {
    if (m_ended) {
        event->accept();
        return;
    }
    event->ignore();
    confirmExit();
}

bool CClientMainDlg::runWaitDialog(CPacketMailbox& sendView, int mode) {
    CWaitDlg wait(sendView, mode, isVisible() ? this : nullptr);
    return wait.exec() == QDialog::Accepted;
}

bool CClientMainDlg::runRegisterDialog(int firstRun) { return m_app.runRegisterDialog(firstRun); }

bool CClientMainDlg::registrationChanged() const { return m_app.registrationChanged() != 0; }

bool CClientMainDlg::askRename(std::string& name, std::string& group) {
    return m_app.askRename(name, group);
}

void CClientMainDlg::pause(int milliseconds) {
    // The window keeps repainting; user input waits, and no tick runs (the caller holds it).
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace tovi
