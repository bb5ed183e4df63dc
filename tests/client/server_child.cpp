#include "server_child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "fake_server.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/tcp_socket.h"
#include "protocol/packets.h"

namespace tovi {

ServerChild::~ServerChild() {
    stop();
    if (!m_dir.empty()) std::system(("rm -rf '" + m_dir + "'").c_str());
}

std::string ServerChild::binary() {
    if (const char* dir = std::getenv("TOVI_BIN_DIR")) {
        std::string path = std::string(dir) + "/tovis";
        if (fileExists(path)) return path;
    }
    // CTest runs the tests in the build directory; the test program itself sits in tests/.
    if (fileExists("bin/tovis")) return "bin/tovis";
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path = directoryOf(std::string(self, static_cast<size_t>(n))) + "/../bin/tovis";
        if (fileExists(path)) return path;
    }
    return {};
}

bool ServerChild::start(std::string& error) {
    const std::string program = binary();
    if (program.empty()) {
        error = "no tovis binary (neither $TOVI_BIN_DIR/tovis nor bin/tovis)";
        return false;
    }
    char pattern[] = "/tmp/tovi_server_XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        error = "no temporary directory";
        return false;
    }
    m_dir = pattern;
    m_port = closedPort();
    if (!replaceFileAtomically(m_dir + "/Tovis.ini",
                               "[SERVER]\nPORT=" + std::to_string(m_port) + "\nDELLIMIT=0\n")) {
        error = "cannot write Tovis.ini";
        return false;
    }
    const std::string log = m_dir + "/server.log";
    m_pid = ::fork();
    if (m_pid == 0) {
        FILE* out = std::freopen(log.c_str(), "w", stderr);
        (void)out;
        ::execl(program.c_str(), program.c_str(), "--headless", "--config-dir", m_dir.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (m_pid < 0) {
        error = "fork failed";
        return false;
    }
    // The probe logs in (as a name nobody has) and waits for the answer: a silent connection
    // would hold the server's log-in wait for its full 10 s.
    for (int i = 0; i < 200; ++i) {
        CTcpSocket probe;
        if (probe.connect("127.0.0.1", static_cast<uint16_t>(m_port), 500)) {
            std::string login(20, '\0');
            login.replace(0, 5, "probe");
            Frame answer;
            if (FakeServer::writeFrame(probe, PKT_LOGIN, login) &&
                FakeServer::readFrame(probe, answer, 10000) && answer.type == PKT_LOGIN_RESULT)
                return true;
        }
        sleepMs(50);
    }
    error = "the server did not accept connections";
    return false;
}

void ServerChild::stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        sleepMs(50);
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

}  // namespace tovi
