// tovic: the Tovi client. `tovic [--config-dir DIR]` runs it with its window, from the module
// libtovic_window.so (see window_entry.h); `tovic --send ...` sends one mail from a script
// without loading anything of Qt and without a display (client/cli).
#include <cstdio>
#include <filesystem>
#include <string>

#include "client/app/window_entry.h"
#include "client/cli/send_command.h"
#include "platform/command_line.h"
#include "platform/config_dir.h"
#include "platform/display_check.h"
#include "platform/loadable_module.h"

namespace {

void printUsage(FILE* out) {
    std::fputs(
        "Usage: tovic [--config-dir DIR]\n"
        "       tovic --send (--to USER | --group GROUP | --all) --title TITLE ... < BODY\n"
        "The Tovi office messaging client.\n"
        "\n"
        "  --config-dir DIR  keep Tovic.ini in DIR (default: $TOVI_CONFIG_DIR, else\n"
        "                    $XDG_CONFIG_HOME/tovi, else $HOME/.config/tovi)\n"
        "  --send ...        send one mail from a script, without a window (tovic --send --help)\n"
        "  --help            show this help and exit\n"
        "  --version         show the version and exit\n"
        "\n"
        "SIGINT or SIGTERM ends the client as its own exit does, without the question.\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    if (tovi::wantsSendCommand(argc, argv)) return tovi::runSendCommand(argc, argv, stdin);
    tovi::CommandLine options;
    const int exitCode = tovi::parseCommandLine(argc, argv, "tovic", false, printUsage, options);
    if (exitCode >= 0) return exitCode;
    std::string why;
    if (!tovi::displayAvailable(why)) {
        std::fprintf(stderr, "tovic: %s: the client needs a desktop\n", why.c_str());
        return 2;
    }
    // Loaded before any thread exists.
    tovi::CLoadableModule module;
    tovi::ClientWindowEntry runWindow = nullptr;
    const std::string path =
        tovi::CLoadableModule::programDirectory() + "/" + tovi::CLIENT_WINDOW_MODULE_FILE;
    if (module.load(path, why))
        runWindow = reinterpret_cast<tovi::ClientWindowEntry>(
            module.find(tovi::CLIENT_WINDOW_ENTRY_NAME, why));
    if (runWindow == nullptr) {
        std::fprintf(stderr, "tovic: the client window cannot be loaded (%s)\n", why.c_str());
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
    return runWindow(dir.c_str(), argc, argv);
}
