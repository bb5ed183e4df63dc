// tovic: the Tovi client. `tovic [--config-dir DIR]`.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "client/app/client_app.h"
#include "platform/command_line.h"
#include "platform/config_dir.h"
#include "platform/display_check.h"
#include "ui/qt/qt_message_boxes.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void onStopSignal(int) {
    const char byte = 1;
    ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

void printUsage(FILE* out) {
    std::fputs(
        "Usage: tovic [--config-dir DIR]\n"
        "The Tovi office messaging client.\n"
        "\n"
        "  --config-dir DIR  keep Tovic.ini in DIR (default: $TOVI_CONFIG_DIR, else\n"
        "                    $XDG_CONFIG_HOME/tovi, else $HOME/.config/tovi)\n"
        "  --help            show this help and exit\n"
        "  --version         show the version and exit\n"
        "\n"
        "SIGINT or SIGTERM ends the client as its own exit does, without the question.\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    tovi::CommandLine options;
    const int exitCode = tovi::parseCommandLine(argc, argv, "tovic", false, printUsage, options);
    if (exitCode >= 0) return exitCode;
    std::string why;
    if (!tovi::displayAvailable(why)) {
        std::fprintf(stderr, "tovic: %s: the client needs a desktop\n", why.c_str());
        return 2;
    }

    std::string dir = tovi::configDirectory(options.configDir);
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(dir, ec);
    if (!ec) dir = absolute.lexically_normal().string();
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string error;
    if (!tovi::enterConfigDirectory(dir, error)) {
        std::fprintf(stderr, "tovic: %s\n", error.c_str());
        return 1;
    }

    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    tovi::CQtMessageBoxes boxes(QStringLiteral("トヴィカ"));
    tovi::setMessageBoxes(&boxes);

    tovi::CClientApp app(dir);
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        char sink[16];
        while (::read(g_signalPipe[0], sink, sizeof sink) > 0) {
        }
        app.requestStop();
    });
    const int code = app.run();
    tovi::setMessageBoxes(nullptr);
    return code;
}
