// tovis with its window as a process: without a display it says so and exits 2; with one (the
// offscreen platform here) SIGTERM and SIGINT end it in order, as the shut-down question does.
#include "server_app_support.h"

namespace tovi::test {

namespace {

// tovis with its window, its stderr in DIR/tovis.stderr.
struct WindowedServer : ChildProgram {
    bool start(const std::string& dir, const std::vector<std::string>& environment) {
        return ChildProgram::start("tovis", {"--config-dir", dir}, dir + "tovis.stderr",
                                   environment);
    }
    // Whether the program holds the signal back (to take it itself).
    bool blocks(int signal) const {
        const std::string status = contents("/proc/" + std::to_string(pid) + "/status");
        const size_t at = status.find("SigBlk:");
        return at != std::string::npos &&
               (std::stoull(status.substr(at + 7, 24), nullptr, 16) >> (signal - 1) & 1) != 0;
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
        CTestClient alice;
        ASSERT_TRUE(enter(alice, port, "alice"));
        EXPECT_EQ(server.stop(signal, 8000), 0) << contents(server.stderrPath);
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
    EXPECT_EQ(server.stop(SIGTERM, 10000), 1) << contents(server.stderrPath);
}

}  // namespace tovi::test
