// The real server in this process, on a free port of 127.0.0.1, with its files in a fresh
// temporary directory; and helpers to run the tovis program itself.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "server/core/cc_rc_data.h"
#include "test_client.h"

namespace tovi::test {

// A fresh directory under the system's temporary directory, removed with the object.
class CTempDir {
  public:
    CTempDir();
    ~CTempDir();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

class CServerUnderTest {
  public:
    explicit CServerUnderTest(const std::string& dir) : m_dir(dir) {}
    // Starts the worker (with the hold limit when not 0) and waits until it listens.
    bool start(int32_t holdLimit = 0);
    void stop();
    int port() const { return m_port; }
    CcRcData& worker() { return *m_worker; }

    // A client connected and logged in (registering when needed) under name and group.
    std::unique_ptr<CTestClient> connectUser(const std::string& name, const std::string& group);

  private:
    std::string m_dir;
    std::unique_ptr<CcRcData> m_worker;
    int m_port = 0;
};

// Registers name with group over a fresh connection and closes it, so that the user exists and
// is offline.
bool registerOffline(int port, const std::string& name, const std::string& group);
// The connected flag of the user in the server's list (1 or 0), -1 when not listed.
int connectedFlag(int port, const std::string& name);
// Waits (bounded) until the server lists the user as not connected.
bool waitOffline(int port, const std::string& name);

// The tovis program (TOVI_BIN_DIR/tovis) as a child process with stderr captured.
struct ServerProcess {
    pid_t pid = -1;
    std::string stderrPath;
};
bool startTovis(const std::string& configDir, ServerProcess& out);
// Waits at most timeoutMs for the child to end; its exit code, or -1 while it runs (-2: killed
// by a signal).
int waitTovis(ServerProcess& process, int timeoutMs);
std::string readStderr(const ServerProcess& process);
// A TCP port nobody listens on right now.
int freePort();
// Connects to port until the server answers a log-in (any answer), at most timeoutMs.
bool waitServerUp(int port, int timeoutMs);

}  // namespace tovi::test
