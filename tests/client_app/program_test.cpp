// The program tovic as a child process: its command line, no display, and SIGTERM / SIGINT
// ending it in order while its window runs.
#include <gtest/gtest.h>

#include "support/scripted_server.h"

namespace tovi::test {
namespace {

const std::vector<std::string> NO_DISPLAY = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

int run(std::vector<std::string> args, const std::string& errPath,
        std::vector<std::string> environment = NO_DISPLAY) {
    ChildProgram tovic;
    EXPECT_TRUE(tovic.start("tovic", std::move(args), errPath, environment));
    return tovic.wait(10000);
}

TEST(Program, CommandLineAndNoDisplay) {
    TempDir dir;
    const std::string err = dir.file("err");
    EXPECT_EQ(run({"--version"}, err), 0);
    EXPECT_EQ(run({"--help"}, err), 0);
    EXPECT_EQ(run({"--bogus"}, err), 2);
    EXPECT_EQ(contents(err).rfind("tovic: unknown option '--bogus'\nUsage: tovic", 0), 0u);
    // No display: one line, exit code 2, and nothing created; a local display that is not there
    // is no display either.
    EXPECT_EQ(run({"--config-dir", dir.path + "cfg"}, err), 2);
    const std::string text = contents(err);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_FALSE(fileExists(dir.path + "cfg/Tovic.ini"));
    std::vector<std::string> absent = NO_DISPLAY;
    absent.push_back("DISPLAY=:987");
    EXPECT_EQ(run({"--config-dir", dir.path + "cfg"}, err, absent), 2);
}

// A stop signal ends the client as its exit does; mail its directory could not take (here the
// directory is missing) is written into unsaved/ of the configuration directory, and stderr says
// so.
TEST(Program, StopSignalsEndTheRunningClientInOrderKeepingMailItCouldNotStore) {
    ScriptedServer server([](const std::string& f) {
        if (getInt32(f.data()) != PKT_LOGIN) return std::string();
        return result(PKT_LOGIN_RESULT, 0) +
               delivery(1700000000, MAIL_MESSAGE, "bob", 1, "[Subject]:_[kept]_");
    });
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        TempDir dir;
        ASSERT_TRUE(replaceFileAtomically(
            dir.file("Tovic.ini"),
            clientIni(server.port(), "alice", "sales", dir.path + "missing/")));
        const size_t framesBefore = server.types().size();
        ChildProgram tovic;
        ASSERT_TRUE(tovic.start("tovic", {"--config-dir", dir.path}, dir.file("err"),
                                {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + dir.path}));
        // Logged in (the log-in frame was answered); then the signal.
        ASSERT_TRUE(eventually([&] { return server.types().size() > framesBefore; }, 20000));
        sleepMs(500);
        EXPECT_EQ(tovic.stop(sig, 15000), 0) << contents(dir.file("err"));
        const std::vector<std::string> kept = findFiles(dir.path + "unsaved/", "_TovicR1*");
        ASSERT_EQ(kept.size(), 1u) << contents(dir.file("err"));
        EXPECT_EQ(contents(dir.path + "unsaved/" + kept[0]).substr(56), "[Subject]:_[kept]_");
        EXPECT_NE(contents(dir.file("err")).find("unsaved/"), std::string::npos);
    }
}

}  // namespace
}  // namespace tovi::test
