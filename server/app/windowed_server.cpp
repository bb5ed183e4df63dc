#include "server/app/windowed_server.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/tcp_socket.h"
#include "server/app/dialog_units.h"
#include "server/app/headless_server.h"
#include "server/app/server_app.h"
#include "server/app/server_main_dlg.h"
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

bool unixSocketAccepts(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(fd);
    return ok;
}

// DISPLAY is [host]:number[.screen]; an empty host (or "unix") is the local socket.
bool xDisplayAccepts(const std::string& display) {
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = display.substr(0, colon);
    const int number = std::atoi(display.c_str() + colon + 1);
    if (number < 0) return false;
    if (host.empty() || host == "unix") {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        return unixSocketAccepts(path, true) || unixSocketAccepts(path, false);
    }
    CTcpSocket probe;
    return probe.connect(host.c_str(), static_cast<uint16_t>(6000 + number), 2000);
}

}  // namespace

bool CWindowedServer::displayAvailable(std::string& why) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::strncmp(platform, "xcb", 3) != 0 &&
        std::strncmp(platform, "wayland", 7) != 0)
        return true;
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (wayland != nullptr && *wayland != '\0' && (platform == nullptr || *platform != 'x')) {
        const std::string path =
            wayland[0] == '/' ? wayland : std::string(runtime ? runtime : "") + "/" + wayland;
        if (unixSocketAccepts(path, false)) return true;
    }
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        why = "no display (DISPLAY is not set)";
        return false;
    }
    if (!xDisplayAccepts(display)) {
        why = std::string("cannot open display ") + display;
        return false;
    }
    return true;
}

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
