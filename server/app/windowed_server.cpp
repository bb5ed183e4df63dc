#include "server/app/windowed_server.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/cp932.h"
#include "platform/event_log.h"
#include "server/app/headless_server.h"
#include "server/app/server_app.h"
#include "server/app/server_main_dlg.h"
#include "ui/qt/dialog_units.h"
#include "ui/qt/qt_message_boxes.h"

namespace tovi {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void CWindowedServer::blockStopSignals() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void CWindowedServer::runMainWindow(CServerMainDlg& window) {
    // Not QDialog::exec(): hiding into the tray would end it.
    QEventLoop loop;
    QObject::connect(&window, &QDialog::finished, &loop, &QEventLoop::quit);
    window.show();
    loop.exec();
}

int CWindowedServer::run(int argc, char** argv) {
    blockStopSignals();
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tovis"));
    QApplication::setFont(CDialogUnits::dialogFont());
    QApplication::setWindowIcon(CServerMainDlg::programIcon());
    // The tray icon may be the only thing left on screen; hiding the window must not end the
    // program.
    QApplication::setQuitOnLastWindowClosed(false);
    CQtMessageBoxes boxes(QString::fromUtf8(CServerMainDlg::TITLE));
    setMessageBoxes(&boxes);

    // SIGINT and SIGTERM close whatever is open without a question: the main window, or the
    // start-failure message before it.
    CServerMainDlg* window = nullptr;
    bool stopRequested = false;
    const sigset_t set = stopSignals();
    const int signalFd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    std::unique_ptr<QSocketNotifier> notifier;
    if (signalFd >= 0) {
        notifier = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [&] {
            signalfd_siginfo info;
            while (::read(signalFd, &info, sizeof info) == sizeof info) {
            }
            stopRequested = true;
            if (window != nullptr) {
                window->shutDownNow();
                return;
            }
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
                    dialog->reject();
        });
    }

    int code = 0;
    {
        CServerApp app("");
        switch (app.start()) {
            case CServerApp::START_OK:
                break;
            case CServerApp::START_NO_SETTINGS:
                code = -1;
                break;
            case CServerApp::START_REFUSED: {
                logEvent("not started: " + app.startError());
                std::string text;
                if (!utf8ToCp932(app.startError(), text)) text = app.startError();
                showMessage(text, MB_OK);
                code = 1;
                break;
            }
            default:
                showMessage(CHeadlessServer::portFailureMessage(m_configDirectory), MB_OK);
                code = 1;
                break;
        }
        if (code == 0) {
            // A signal that came during the start still ends the program before the window.
            QApplication::processEvents();
            CServerMainDlg mainWindow(app);
            window = &mainWindow;
            if (!stopRequested) runMainWindow(mainWindow);
            window = nullptr;
        }
        // A worker stuck beyond its time: end the process without waiting for it any longer.
        if (!app.stop()) std::_Exit(0);
    }
    notifier.reset();
    if (signalFd >= 0) ::close(signalFd);
    setMessageBoxes(nullptr);
    return code < 0 ? 0 : code;
}

}  // namespace tovi
