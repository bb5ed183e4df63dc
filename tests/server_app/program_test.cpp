// tovis with its window as a process: without a display it says so and exits 2; with one (the
// offscreen platform here) SIGTERM and SIGINT end it in order, as the shut-down question does.
#include <fcntl.h>

#include "server_app_support.h"

namespace tovi::test {

namespace {

// TOVI_BIN_DIR/tovis --config-dir DIR with the environment changed as given ("NAME=value" sets,
// "NAME" removes), stderr into DIR/tovis.stderr.
struct WindowedServer {
    pid_t pid = -1;
    std::string stderrPath;
    bool start(const std::string& configDir, const std::vector<std::string>& environment) {
        const char* binDir = std::getenv("TOVI_BIN_DIR");
        const std::string program = std::string(binDir ? binDir : "bin") + "/tovis";
        if (!fileExists(program)) ADD_FAILURE() << "no " << program << " (build it: ninja tovis)";
        stderrPath = configDir + "tovis.stderr";
        if ((pid = ::fork()) == 0) {
            for (const std::string& change : environment) {
                const size_t eq = change.find('=');
                if (eq == std::string::npos)
                    ::unsetenv(change.c_str());
                else
                    ::setenv(change.substr(0, eq).c_str(), change.c_str() + eq + 1, 1);
            }
            ::dup2(::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            ::execl(program.c_str(), "tovis", "--config-dir", configDir.c_str(), nullptr);
            ::_exit(127);
        }
        return pid > 0;
    }
    // Whether the program holds the signal back (to take it itself).
    bool blocks(int signal) const {
        const std::string status = contents("/proc/" + std::to_string(pid) + "/status");
        const size_t at = status.find("SigBlk:");
        return at != std::string::npos &&
               (std::stoull(status.substr(at + 7, 24), nullptr, 16) >> (signal - 1) & 1) != 0;
    }
    // The exit code within timeoutMs; -1 while it runs, -2 when a signal killed it.
    int wait(int timeoutMs) {
        int status = 0;
        if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs))
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    ~WindowedServer() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
};

}  // namespace

TEST(WindowedProgram, WithoutADisplaySaysSoInOneLineAndExits2) {
    TempDir dir;
    const std::vector<std::vector<std::string>> environments = {
        {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
        {"DISPLAY=:97", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
        {"DISPLAY=:97", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=xcb"}};
    for (const auto& environment : environments) {
        WindowedServer server;
        ASSERT_TRUE(server.start(dir.path, environment));
        EXPECT_EQ(server.wait(10000), 2);
        const std::string said = contents(server.stderrPath);
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find("--headless"), std::string::npos) << said;
        // Nothing was started: no settings file was made.
        EXPECT_FALSE(fileExists(dir.file("Tovis.ini")));
    }
}

TEST(WindowedProgram, SigtermAndSigintEndItInOrderDisconnectingEveryClient) {
    for (int signal : {SIGTERM, SIGINT}) {
        TempDir dir;
        const int port = freePort();
        ASSERT_TRUE(replaceFileAtomically(dir.file("Tovis.ini"),
                                          "[SERVER]\nPORT=" + std::to_string(port) + "\n"));
        WindowedServer server;
        ASSERT_TRUE(server.start(dir.path, {"QT_QPA_PLATFORM=offscreen"}));
        ASSERT_TRUE(waitServerUp(port, 10000)) << contents(server.stderrPath);
        CRawClient alice;
        ASSERT_TRUE(alice.enter(port, "alice"));
        ASSERT_EQ(::kill(server.pid, signal), 0);
        EXPECT_EQ(server.wait(8000), 0) << contents(server.stderrPath);
        EXPECT_TRUE(alice.waitClosed(1000));
        // What was accepted is on disk.
        EXPECT_EQ(contents(dir.file("TovisUser.dat")).substr(0, 20), nameField("alice"));
    }
}

TEST(WindowedProgram, APortInUseEndsItWithExitCode1AndASignalClosesTheMessage) {
    TempDir dir;
    CTcpSocket taken;
    ASSERT_TRUE(taken.listen("127.0.0.1", 0, 1));
    ASSERT_TRUE(replaceFileAtomically(
        dir.file("Tovis.ini"), "[SERVER]\nPORT=" + std::to_string(taken.localPort()) + "\n"));
    WindowedServer server;
    ASSERT_TRUE(server.start(dir.path, {"QT_QPA_PLATFORM=offscreen"}));
    // Offscreen nobody can press OK on the port message; the signal closes it, whether it comes
    // before the message is up or after (but once the program has taken the signal over).
    ASSERT_TRUE(eventually([&] { return server.blocks(SIGTERM); }));
    ASSERT_EQ(::kill(server.pid, SIGTERM), 0);
    EXPECT_EQ(server.wait(10000), 1) << contents(server.stderrPath);
}

}  // namespace tovi::test
