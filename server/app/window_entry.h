// The window module: the server's window (CWindowedServer and the dialogs, with Qt under them) is
// built as a module, libtovis_window.so beside tovis, and tovis loads it only when it runs with a
// window. A server run without one so never maps the Qt libraries.
//
// The module exports one C function, tovis_window_run_1 (the number changes with its
// parameters, so that a module left over from another build is refused rather than called).
#pragma once

namespace tovi {

inline constexpr const char* WINDOW_MODULE_FILE = "libtovis_window.so";
inline constexpr const char* WINDOW_ENTRY_NAME = "tovis_window_run_1";

// Runs the server with its window; configDirectory is already the current directory. Returns the
// program's exit code (that of CWindowedServer::run).
using WindowEntry = int (*)(const char* configDirectory, int argc, char** argv);

}  // namespace tovi

extern "C" int tovis_window_run_1(const char* configDirectory, int argc, char** argv);
