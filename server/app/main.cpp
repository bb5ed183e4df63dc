// tovis: the Tovi server. `tovis [--config-dir DIR]` runs it with its window,
// `tovis --headless [--config-dir DIR]` without one. The window comes from a module loaded only
// then (see window_entry.h), so that the server without a window does not load Qt.
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/command_line.h"
#include "platform/config_dir.h"
#include "platform/display_check.h"
#include "platform/loadable_module.h"
#include "server/app/headless_server.h"
#include "server/app/window_entry.h"

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
    tovi::WindowEntry runWindow = nullptr;
    if (!options.headless) {
#ifdef TOVI_SERVER_WINDOW
        std::string why;
        if (!tovi::displayAvailable(why)) {
            std::fprintf(stderr,
                         "tovis: %s; to run the server without a window: tovis --headless\n",
                         why.c_str());
            return 2;
        }
        // Loaded before any thread exists; the window blocks SIGINT and SIGTERM first thing,
        // so that every thread leaves them to it.
        tovi::CLoadableModule module;
        const std::string path =
            tovi::CLoadableModule::programDirectory() + "/" + tovi::WINDOW_MODULE_FILE;
        if (module.load(path, why))
            runWindow =
                reinterpret_cast<tovi::WindowEntry>(module.find(tovi::WINDOW_ENTRY_NAME, why));
        if (runWindow == nullptr) {
            // The packaged server only recommends Qt: say so plainly when that is what is missing.
            const char* missing = why.find("libQt") != std::string::npos
                                      ? "the server window cannot be shown without the Qt libraries"
                                      : "the server window cannot be loaded";
            std::fprintf(stderr, "tovis: %s (%s); tovis --headless runs the server without it\n",
                         missing, why.c_str());
            return 2;
        }
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
    if (runWindow != nullptr) return runWindow(dir.c_str(), argc, argv);
    return tovi::CHeadlessServer(dir).run();
}
