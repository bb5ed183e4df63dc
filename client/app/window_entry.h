// The client's window module: everything of tovic that needs Qt (the application object, the
// main window, the dialogs) is built as a module, libtovic_window.so beside tovic, and tovic
// loads it only when it runs with its window. `tovic --send` so never maps the Qt libraries and
// needs no display.
//
// The module exports one C function, tovic_window_run_1 (the number changes with its
// parameters, so that a module left over from another build is refused rather than called).
#pragma once

namespace tovi {

inline constexpr const char* CLIENT_WINDOW_MODULE_FILE = "libtovic_window.so";
inline constexpr const char* CLIENT_WINDOW_ENTRY_NAME = "tovic_window_run_1";

// Runs the client with its window; configDirectory is already the current directory. Returns
// the program's exit code.
using ClientWindowEntry = int (*)(const char* configDirectory, int argc, char** argv);

}  // namespace tovi

extern "C" int tovic_window_run_1(const char* configDirectory, int argc, char** argv);
