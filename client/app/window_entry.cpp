#include "client/app/window_entry.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <type_traits>

#include "client/app/client_app.h"
#include "ui/qt/dbus_desktop_notifier.h"
#include "ui/qt/program_icon.h"
#include "ui/qt/qt_message_boxes.h"

// tovic calls the entry through this type.
static_assert(std::is_same_v<decltype(&tovic_window_run_1), tovi::ClientWindowEntry>);

namespace {

int g_signalPipe[2] = {-1, -1};

void onStopSignal(int) {
    const char byte = 1;
    ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

}  // namespace

// The module is built with hidden symbols; this is the one it exports.
extern "C" __attribute__((visibility("default"))) int tovic_window_run_1(
    const char* configDirectory, int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    tovi::CQtMessageBoxes boxes(QStringLiteral("トヴィカ"));
    tovi::setMessageBoxes(&boxes);
    tovi::CDbusDesktopNotifier notifier(QStringLiteral("トヴィカ"), QStringLiteral("tovic"),
                                        tovi::CProgramIcon::icon());
    tovi::setDesktopNotifier(&notifier);

    tovi::CClientApp app(configDirectory);
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char sink[16];
        while (::read(g_signalPipe[0], sink, sizeof sink) > 0) {
        }
        app.requestStop();
    });
    const int code = app.run();
    tovi::setDesktopNotifier(nullptr);
    tovi::setMessageBoxes(nullptr);
    return code;
}
