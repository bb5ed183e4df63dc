// CServerProcess: the real server program run as a child process for one benchmark: a fresh
// configuration directory with its own settings file on a free port, "tovis --headless", a wait
// until it accepts connections, the /proc figures of the child, and the orderly stop by SIGTERM.
//
// Used by the benchmark's main thread only.
#pragma once

#include <sys/types.h>

#include <string>

namespace tovi {

class CServerProcess {
  public:
    CServerProcess() = default;
    ~CServerProcess();  // stops a server that is still running and removes the directory
    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    // The server binary: --server PATH, else $TOVI_BIN_DIR/tovis, else ../bin/tovis beside the
    // running benchmark, else build/bin/tovis below the current directory.
    static std::string findBinary(int argc, char** argv);

    // Makes the configuration directory with Tovis.ini ([SERVER] PORT=<free port>, DELLIMIT=0)
    // and leaves it empty otherwise; the caller may put data files there before start().
    bool prepare(std::string& error);
    // Starts the binary in the prepared directory (preparing it first when needed) and waits up
    // to 10 s until a connection to the port succeeds. The server's stdout and stderr go to
    // server.log in the directory.
    bool start(const std::string& binary, std::string& error);
    // SIGTERM, then waits up to timeoutMs for the exit (SIGKILL after that). Returns the exit
    // code, 128 + signal for a killed one, -1 when nothing was running. stopMs tells how long
    // the exit took.
    int stop(int timeoutMs = 10000);
    // True while the child has not ended (reaps it when it has).
    bool isRunning();

    pid_t pid() const { return m_pid; }
    int port() const { return m_port; }
    const std::string& directory() const { return m_dir; }
    long long stopMs() const { return m_stopMs; }
    // Peak resident memory of the child once it has ended, from its resource usage (KiB).
    long long exitPeakRssKb() const { return m_exitPeakRssKb; }
    // The last lines the server wrote, for failure reports.
    std::string logTail(size_t maxBytes = 2000) const;

  private:
    bool reap(bool wait, int& code);

    std::string m_dir;
    int m_port = 0;
    pid_t m_pid = -1;
    long long m_stopMs = 0;
    long long m_exitPeakRssKb = 0;
};

}  // namespace tovi
