#include "bench/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "bench/bench_common.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/tcp_socket.h"

extern char** environ;

namespace tovi {

CServerProcess::~CServerProcess() {
    if (m_pid > 0) stop(5000);
    if (!m_dir.empty() && std::getenv("TOVI_BENCH_KEEP") == nullptr) removeTree(m_dir);
}

std::string CServerProcess::findBinary(int argc, char** argv) {
    std::string given = argValue(argc, argv, "--server", "");
    if (!given.empty()) return given;
    const char* binDir = std::getenv("TOVI_BIN_DIR");
    if (binDir != nullptr && binDir[0] != '\0') return std::string(binDir) + "/tovis";
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string beside = directoryOf(directoryOf(self)) + "/bin/tovis";
        if (fileExists(beside)) return beside;
    }
    return "build/bin/tovis";
}

bool CServerProcess::prepare(std::string& error) {
    if (!m_dir.empty()) return true;
    m_dir = makeTempDirectory("tovi-bench");
    if (m_dir.empty()) {
        error = "could not create a temporary configuration directory";
        return false;
    }
    m_port = freePort();
    if (m_port == 0) {
        error = "no free port on 127.0.0.1";
        return false;
    }
    std::string ini = "[SERVER]\nPORT=" + std::to_string(m_port) + "\nDELLIMIT=0\n";
    if (!replaceFileAtomically(m_dir + "/Tovis.ini", ini)) {
        error = "could not write Tovis.ini: " + lastFileError();
        return false;
    }
    return true;
}

bool CServerProcess::start(const std::string& binary, std::string& error) {
    if (m_pid > 0) {
        error = "the server is already running";
        return false;
    }
    if (!prepare(error)) return false;
    if (!fileExists(binary)) {
        error = "no server binary at " + binary + " (build it: ninja -C build tovis)";
        return false;
    }
    const std::string log = m_dir + "/server.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args = {binary, "--headless", "--config-dir", m_dir};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error = "could not start " + binary;
        return false;
    }
    m_pid = pid;

    // Ready once a connection is accepted; the probe closes at once, which the server must take
    // like any client that goes away before logging in.
    const int64_t until = monotonicMs() + 10000;
    while (monotonicMs() < until) {
        if (!isRunning()) {
            error = "the server ended during start-up: " + logTail();
            return false;
        }
        CTcpSocket probe;
        if (probe.connect("127.0.0.1", static_cast<uint16_t>(m_port), 500)) {
            probe.close();
            return true;
        }
        sleepMs(20);
    }
    error = "the server did not accept connections within 10 s";
    stop(2000);
    return false;
}

bool CServerProcess::reap(bool wait, int& code) {
    if (m_pid <= 0) return true;
    int status = 0;
    struct rusage usage {};
    pid_t r = ::wait4(m_pid, &status, wait ? 0 : WNOHANG, &usage);
    if (r == 0) return false;
    if (r == m_pid) {
        code = WIFEXITED(status) ? WEXITSTATUS(status)
                                 : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
        m_exitPeakRssKb = usage.ru_maxrss;
    } else {
        code = -1;
    }
    m_pid = -1;
    return true;
}

bool CServerProcess::isRunning() {
    int code = 0;
    return !reap(false, code);
}

int CServerProcess::stop(int timeoutMs) {
    if (m_pid <= 0) return -1;
    const int64_t begin = monotonicMs();
    ::kill(m_pid, SIGTERM);
    int code = -1;
    while (!reap(false, code)) {
        if (monotonicMs() - begin > timeoutMs) {
            ::kill(m_pid, SIGKILL);
            reap(true, code);
            break;
        }
        sleepMs(5);
    }
    m_stopMs = monotonicMs() - begin;
    return code;
}

std::string CServerProcess::logTail(size_t maxBytes) const {
    std::string text;
    if (!readWholeFile(m_dir + "/server.log", text)) return "(no server log)";
    if (text.size() > maxBytes) text = "..." + text.substr(text.size() - maxBytes);
    return text.empty() ? "(the server wrote nothing)" : text;
}

}  // namespace tovi
