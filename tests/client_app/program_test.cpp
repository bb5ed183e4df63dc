// The program tovic as a child process: its command line, no display, and SIGTERM / SIGINT
// ending it in order while its window runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "scripted_server.h"

namespace tovi::test {
namespace {

std::string program() {
    const char* binDir = std::getenv("TOVI_BIN_DIR");
    return std::string(binDir ? binDir : "bin") + "/tovic";
}

// Runs tovic with the arguments and the environment (NAME=value, nothing else inherited but
// PATH and HOME); output goes to outPath.
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& outPath) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::vector<std::string> all = env;
        all.push_back(std::string("PATH=") + (std::getenv("PATH") ? std::getenv("PATH") : ""));
        all.push_back(std::string("HOME=") + (std::getenv("HOME") ? std::getenv("HOME") : "/"));
        std::vector<char*> argv{const_cast<char*>("tovic")}, envp;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        for (const std::string& e : all) envp.push_back(const_cast<char*>(e.c_str()));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        ::execve(program().c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

// The exit code within timeoutMs; -1 while it runs (it is then killed), -2 for a signal.
int exitCode(pid_t pid, int timeoutMs) {
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

TEST(Program, HelpVersionBadOptionAndNoDisplay) {
    TempDir dir;
    const std::string out = dir.file("out");
    EXPECT_EQ(exitCode(spawn({"--version"}, {}, out), 10000), 0);
    EXPECT_EQ(contents(out), "tovic " TOVI_VERSION "\n");
    EXPECT_EQ(exitCode(spawn({"--help"}, {}, out), 10000), 0);
    EXPECT_EQ(contents(out).rfind("Usage: tovic [--config-dir DIR]\n", 0), 0u);
    EXPECT_EQ(exitCode(spawn({"--bogus"}, {}, out), 10000), 2);
    // No display: one line on stderr, exit code 2, and nothing created.
    EXPECT_EQ(exitCode(spawn({"--config-dir", dir.path + "cfg"}, {}, out), 10000), 2);
    const std::string text = contents(out);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.rfind("tovic: ", 0), 0u);
    EXPECT_FALSE(fileExists(dir.path + "cfg/Tovic.ini"));
    EXPECT_EQ(exitCode(spawn({"--config-dir", dir.path + "cfg"}, {"DISPLAY=:987"}, out), 10000), 2);
}

TEST(Program, StopSignalsEndTheRunningClientInOrder) {
    ScriptedServer server(acceptingServer);
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        TempDir dir;
        ASSERT_TRUE(replaceFileAtomically(
            dir.file("Tovic.ini"), "[SERVER]\nPORT=" + std::to_string(server.port()) +
                                       "\nADDRESS=127.0.0.1\n[USER]\nNAME=alice\nGROUP=sales\n"
                                       "DIR=" +
                                       dir.path + "\n"));
        const int before = server.accepted();
        const size_t framesBefore = server.types().size();
        const pid_t pid =
            spawn({"--config-dir", dir.path},
                  {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + dir.path}, dir.file("out"));
        ASSERT_TRUE(eventually([&] { return server.accepted() > before; }, 20000));
        // Logged in (the log-in frame was answered); then the signal.
        ASSERT_TRUE(eventually([&] { return server.types().size() > framesBefore; }));
        sleepMs(300);
        ::kill(pid, sig);
        EXPECT_EQ(exitCode(pid, 15000), 0) << contents(dir.file("out"));
    }
}

}  // namespace
}  // namespace tovi::test
