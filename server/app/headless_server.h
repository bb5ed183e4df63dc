// CHeadlessServer: the server without a window, as a daemon runs it. It completes Tovis.ini,
// starts the worker with the hold limit in force from the start and the configured port, and
// runs until SIGINT or SIGTERM, which stop the worker (every client is disconnected) exactly as
// closing the main window does. What would be a message box goes to stderr.
//
// Used by the main thread of the program; run() blocks SIGINT and SIGTERM for the whole process
// (the worker inherits that) and waits for them itself.
#pragma once

#include <string>

namespace tovi {

class CHeadlessServer {
  public:
    // configDirectory: the directory the program has made current (shown in messages).
    explicit CHeadlessServer(std::string configDirectory)
        : m_configDirectory(std::move(configDirectory)) {}

    // Runs the server; returns the exit code: 0 after a signal (or when a missing settings file
    // could not be created), 1 when the port could not be opened.
    int run();

    // The start-failure message (cp932), naming the configuration directory where the system
    // speaks of the Windows directory.
    static std::string portFailureMessage(const std::string& configDirectory);

  private:
    std::string m_configDirectory;
};

}  // namespace tovi
