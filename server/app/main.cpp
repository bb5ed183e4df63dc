// tovis: the Tovi server. `tovis [--config-dir DIR]` runs it with its window,
// `tovis --headless [--config-dir DIR]` without one.
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/command_line.h"
#include "platform/config_dir.h"
#include "platform/display_check.h"
#include "server/app/headless_server.h"
#ifdef TOVI_SERVER_WINDOW
#include "server/app/windowed_server.h"
#endif

namespace {

void printUsage(FILE* out) {
    std::fputs(
        "Usage: tovis [--headless] [--config-dir DIR]\n"
        "The Tovi office messaging server.\n"
        "\n"
        "  --headless        run without a window (SIGINT or SIGTERM stops the server,\n"
        "                    as they do with the window)\n"
        "  --config-dir DIR  keep Tovis.ini, TovisUser.dat and TovisBackMail.dat in DIR\n"
        "                    (default: $TOVI_CONFIG_DIR, else $XDG_CONFIG_HOME/tovi,\n"
        "                    else $HOME/.config/tovi)\n"
        "  --help            show this help and exit\n"
        "  --version         show the version and exit\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    tovi::CommandLine options;
    const int exitCode = tovi::parseCommandLine(argc, argv, "tovis", true, printUsage, options);
    if (exitCode >= 0) return exitCode;
    if (!options.headless) {
#ifdef TOVI_SERVER_WINDOW
        std::string why;
        if (!tovi::displayAvailable(why)) {
            std::fprintf(stderr,
                         "tovis: %s; to run the server without a window: tovis --headless\n",
                         why.c_str());
            return 2;
        }
        // Before any thread exists, so that every thread leaves the signals to the window.
        tovi::CWindowedServer::blockStopSignals();
#else
        std::fputs("tovis: the server window is not part of this build; run tovis --headless\n",
                   stderr);
        return 2;
#endif
    }

    std::string dir = tovi::configDirectory(options.configDir);
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(dir, ec);
    if (!ec) dir = absolute.lexically_normal().string();
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string error;
    if (!tovi::enterConfigDirectory(dir, error)) {
        std::fprintf(stderr, "tovis: %s\n", error.c_str());
        return 1;
    }
#ifdef TOVI_SERVER_WINDOW
    if (!options.headless) return tovi::CWindowedServer(dir).run(argc, argv);
#endif
    return tovi::CHeadlessServer(dir).run();
}
