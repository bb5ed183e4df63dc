// The real server for the integration tests: "tovis --headless --config-dir DIR" as a child
// process on a free port of 127.0.0.1, found through $TOVI_BIN_DIR (else bin/tovis of the build
// directory). SIGTERM stops it.
#pragma once

#include <sys/types.h>

#include <string>

namespace tovi {

class ServerChild {
  public:
    ServerChild() = default;
    ~ServerChild();
    ServerChild(const ServerChild&) = delete;
    ServerChild& operator=(const ServerChild&) = delete;

    static std::string binary();  // empty when no tovis was found
    // Writes DIR/Tovis.ini with a free port, starts the server and waits until it accepts.
    bool start(std::string& error);
    void stop();
    int port() const { return m_port; }
    const std::string& directory() const { return m_dir; }

  private:
    std::string m_dir;
    int m_port = 0;
    pid_t m_pid = -1;
};

}  // namespace tovi
