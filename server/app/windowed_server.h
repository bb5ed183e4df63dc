// CWindowedServer: the server with its window, as the operator runs it on a desktop. It starts
// the server (CServerApp), shows the main window for the program's life and, when the window
// closes (the shut-down question answered OK, or SIGINT / SIGTERM, which close it without the
// question), stops the worker: every client is disconnected and the process ends within about
// 5 seconds.
//
// Used by the main thread of the program.
#pragma once

#include <string>

namespace tovi {

class CServerMainDlg;

class CWindowedServer {
  public:
    // configDirectory: the directory the program has made current (named in messages).
    explicit CWindowedServer(std::string configDirectory)
        : m_configDirectory(std::move(configDirectory)) {}

    // Blocks SIGINT and SIGTERM for the whole process; call before any thread is started, so
    // that run() receives them.
    static void blockStopSignals();

    // Runs the server; returns the exit code: 0 after the window closed (or when a missing
    // settings file could not be created), 1 when the port could not be opened.
    int run(int argc, char** argv);

    // Shows the main window and runs until it is finished (shut down), through any number of
    // hidings into the tray.
    static void runMainWindow(CServerMainDlg& window);

  private:
    std::string m_configDirectory;
};

}  // namespace tovi
