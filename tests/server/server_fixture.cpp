#include "server_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"

extern char** environ;

namespace tovi::test {

CTempDir::CTempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tovi-server-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    m_path = made ? made : "";
}

CTempDir::~CTempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}

bool CServerUnderTest::start(int32_t holdLimit) {
    m_worker = std::make_unique<CcRcData>(m_dir);
    if (!m_worker->start()) return false;
    if (holdLimit != 0) m_worker->postMessage(WM_SERVER_SET_HOLD_LIMIT, holdLimit);
    m_worker->postMessage(WM_SERVER_LISTEN, 0);
    if (m_worker->waitListenResult(5000) != CcRcData::LISTEN_OK) return false;
    m_port = m_worker->listeningPort();
    return true;
}

void CServerUnderTest::stop() { m_worker.reset(); }

std::unique_ptr<CTestClient> CServerUnderTest::connectUser(const std::string& name,
                                                           const std::string& group) {
    auto client = std::make_unique<CTestClient>();
    if (!client->connect(m_port)) return nullptr;
    int reason = client->login(name);
    if (reason == 2) reason = client->registerUser(name, group);
    return reason == 0 ? std::move(client) : nullptr;
}

bool registerOffline(int port, const std::string& name, const std::string& group) {
    CTestClient c;
    if (!c.connect(port) || c.login(name) != 2 || c.registerUser(name, group) != 0) return false;
    c.close();
    return waitOffline(port, name);
}

int connectedFlag(int port, const std::string& name) {
    CTestClient c;
    if (!c.connect(port) || c.login("") < 0) return -1;
    if (!c.sendFrame(PKT_USERLIST_REQ, int32Bytes(0) + nameField(""))) return -1;
    Frame f;
    if (!c.readFrame(f) || f.type != PKT_USERLIST) return -1;
    for (size_t off = 0; off + 44 <= f.body.size(); off += 44) {
        std::string n = f.body.substr(off + 4, 20);
        n.resize(strnlen(n.c_str(), 20));
        if (n == name) return f.int32At(off);
    }
    return -1;
}

bool waitOffline(int port, const std::string& name) {
    for (int i = 0; i < 300; ++i) {
        if (connectedFlag(port, name) == 0) return true;
        sleepMs(10);
    }
    return false;
}

bool startTovis(const std::string& configDir, ServerProcess& out) {
    const char* binDir = std::getenv("TOVI_BIN_DIR");
    std::string program = std::string(binDir ? binDir : "bin") + "/tovis";
    out.stderrPath = configDir + ".stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, out.stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string dirCopy = configDir;
    char* argv[] = {program.data(), const_cast<char*>("--headless"),
                    const_cast<char*>("--config-dir"), dirCopy.data(), nullptr};
    int rc = posix_spawn(&out.pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
}

int waitTovis(ServerProcess& process, int timeoutMs) {
    const int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(process.pid, &status, WNOHANG);
        if (r == process.pid) {
            process.pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        if (monotonicMs() >= deadline) return -1;
        sleepMs(10);
    }
}

std::string readStderr(const ServerProcess& process) {
    std::string text;
    readWholeFile(process.stderrPath, text);
    return text;
}

int freePort() {
    CTcpSocket probe;
    if (!probe.listen("127.0.0.1", 0, 1)) return -1;
    return probe.localPort();
}

bool waitServerUp(int port, int timeoutMs) {
    const int64_t deadline = monotonicMs() + timeoutMs;
    while (monotonicMs() < deadline) {
        CTestClient c;
        if (c.connect(port) && c.login("probe-nobody") >= 0) return true;
        sleepMs(20);
    }
    return false;
}

}  // namespace tovi::test
