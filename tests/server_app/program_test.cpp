// tovis with its window as a process: without a display it says so and exits 2; with one (the
// offscreen platform here) SIGTERM and SIGINT end it in order, as the shut-down question does.
// The window comes from libtovis_window.so beside the program, which the server without a window
// never loads (nor Qt under it).
#include <filesystem>

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

// Whether the running process has mapped a file whose name contains part.
bool maps(pid_t pid, const std::string& part) {
    return contents("/proc/" + std::to_string(pid) + "/maps").find(part) != std::string::npos;
}

// Runs start with ChildProgram taking the programs from dir instead of $TOVI_BIN_DIR.
bool startFrom(const std::string& dir, const std::function<bool()>& start) {
    const char* was = std::getenv("TOVI_BIN_DIR");
    const std::string saved = was != nullptr ? was : "bin";
    ::setenv("TOVI_BIN_DIR", dir.c_str(), 1);
    const bool started = start();
    ::setenv("TOVI_BIN_DIR", saved.c_str(), 1);
    return started;
}

}  // namespace

// No display (none set, or one that is not there), or a copy of the program without its window
// module beside it: one line naming what is missing and --headless, exit code 2, nothing made.
TEST(WindowedProgram, WithoutADisplayOrItsWindowModuleSaysSoInOneLineAndExits2) {
    TempDir bin, dir;
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::copy_file(ChildProgram::path("tovis"), bin.file("tovis"), ec))
        << ec.message();
    const std::tuple<std::vector<std::string>, bool, const char*> cases[] = {
        {{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}, false, "--headless"},
        {{"DISPLAY=:97", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}, false, "--headless"},
        {{"DISPLAY=:97", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=xcb"}, false, "--headless"},
        {{"QT_QPA_PLATFORM=offscreen"}, true, "libtovis_window.so"}};
    for (const auto& [environment, copied, missing] : cases) {
        WindowedServer server;
        auto start = [&] { return server.start(dir.path, environment); };
        ASSERT_TRUE(copied ? startFrom(bin.path, start) : start());
        EXPECT_EQ(server.wait(10000), 2);
        const std::string said = contents(server.stderrPath);
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(missing), std::string::npos) << said;
        EXPECT_NE(said.find("--headless"), std::string::npos) << said;
        EXPECT_FALSE(fileExists(dir.file("Tovis.ini")));
    }
}

// Started through a link elsewhere (as an installer might put one on the PATH), the program finds
// its window beside itself. Either way SIGTERM and SIGINT end it in order, disconnecting every
// client, with what was accepted on disk.
TEST(WindowedProgram, OnlyTheWindowLoadsQtALinkFindsItAndSignalsEndItInOrder) {
    TempDir bin;
    std::error_code ec;
    std::filesystem::create_symlink(std::filesystem::absolute(ChildProgram::path("tovis")),
                                    bin.file("tovis"), ec);
    ASSERT_FALSE(ec) << ec.message();
    for (const auto& [windowed, signal] :
         {std::pair{false, SIGTERM}, std::pair{true, SIGTERM}, std::pair{true, SIGINT}}) {
        TempDir dir;
        const int port = freePort();
        ASSERT_TRUE(replaceFileAtomically(dir.file("Tovis.ini"),
                                          "[SERVER]\nPORT=" + std::to_string(port) + "\n"));
        ChildProgram server;
        std::vector<std::string> args = {"--config-dir", dir.path};
        if (!windowed) args.push_back("--headless");
        ASSERT_TRUE(startFrom(bin.path, [&] {
            return server.start("tovis", args, dir.file("tovis.stderr"),
                                {"QT_QPA_PLATFORM=offscreen"});
        }));
        ASSERT_TRUE(waitServerUp(port, 10000)) << contents(server.stderrPath);
        EXPECT_EQ(maps(server.pid, "libQt6Core"), windowed);
        EXPECT_EQ(maps(server.pid, "libtovis_window.so"), windowed);
        CTestClient alice;
        ASSERT_TRUE(enter(alice, port, "alice"));
        EXPECT_EQ(server.stop(signal, 8000), 0) << contents(server.stderrPath);
        EXPECT_TRUE(alice.waitClosed(1000));
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
