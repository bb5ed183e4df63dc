// `tovic --send` as a script runs it: the real program (without a display) against the real
// server, for each kind of send and each refusal (exit status and the line on stderr), with the
// mail that reaches the sender's own mail directory during its session.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "client/cli/command_line_sender.h"
#include "client/cli/send_options.h"
#include "client/connection/message_file.h"
#include "support/test_support.h"

namespace tovi::test {
namespace {

struct ProgramRun {
    int status = -1;
    std::string err;
    std::string out;
};

// Runs bin/tovic with args, input on its stdin, no display in its environment; at most 60 s.
ProgramRun tovic(std::vector<std::string> args, const std::string& input, const TempDir& scratch) {
    ProgramRun run;
    const std::string inPath = scratch.file("stdin"), errPath = scratch.file("stderr"),
                      outPath = scratch.file("stdout");
    EXPECT_TRUE(replaceFileAtomically(inPath, input));
    args.insert(args.begin(), "tovic");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string program = ChildProgram::path("tovic");
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(name);
        ::dup2(::open(inPath.c_str(), O_RDONLY), 0);
        ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 60000)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "tovic --send still ran after 60 s";
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    run.err = contents(errPath);
    run.out = contents(outPath);
    return run;
}

// The texts of the mail files of box in dir ("_TovicR*" or "_TovicS*"), with their peers.
std::vector<std::string> mails(const std::string& dir, const char* pattern) {
    std::vector<std::string> out;
    for (const std::string& name : findFiles(dir, pattern)) {
        if (name == CMessageFile::RECEIVED_FLAG || name == CMessageFile::SENT_FLAG) continue;
        MailHead head;
        std::string text;
        EXPECT_TRUE(CMessageFile::read(dir + name, head, &text)) << name;
        out.push_back(std::string(head.peer) + ":" + cp932ToUtf8Lossy(text));
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(SendOptions, CommandLinesAndTheirRefusals) {
    const struct {
        std::vector<const char*> args;
        bool ok;
        int32_t sendType;
        const char* error;
    } cases[] = {
        {{"--send", "--to", "bob", "--title", "t"}, true, SEND_TO_USER, ""},
        {{"--send", "--group=dev", "--connected", "--title="}, true, SEND_TO_GROUP_CONNECTED, ""},
        {{"--send", "--all", "--title", "t", "--server", "h:7000"}, true, SEND_TO_ALL, ""},
        {{"--send", "--all", "--connected", "--title", "t"}, true, SEND_TO_ALL_CONNECTED, ""},
        {{"--send", "--title", "t"}, false, 0, "give exactly one of"},
        {{"--send", "--to", "a", "--all", "--title", "t"}, false, 0, "give exactly one of"},
        {{"--send", "--to", "a", "--connected", "--title", "t"}, false, 0, "--connected goes"},
        {{"--send", "--to", "a"}, false, 0, "--title missing"},
        {{"--send", "--to", "a", "--title"}, false, 0, "--title needs a value"},
        {{"--send", "--to", "a", "--title", "t", "--as", "x"}, false, 0, "--as needs"},
        {{"--send", "--to", "a", "--title", "t", "--server", "h:0"}, false, 0, "--server wants"},
        {{"--send", "--to", "a", "--title", "t", "--bogus"}, false, 0, "unknown option"},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("tovic")};
        for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
        CSendOptions options;
        std::string error;
        EXPECT_EQ(options.parse(static_cast<int>(argv.size()), argv.data(), error), c.ok)
            << c.args[1] << " " << error;
        if (c.ok) {
            EXPECT_EQ(options.sendType(), c.sendType) << c.args[1];
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

class SendCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fileExists(ChildProgram::path("tovic"))) GTEST_SKIP() << "no tovic built";
        for (const char* who : {"bob", "alice", "carol"}) makeDirectories(dir.path + who);
    }
    std::vector<std::string> as(const char* name, const char* group,
                                std::vector<std::string> rest) {
        std::vector<std::string> args = {
            "--send", "--server",   "127.0.0.1:" + std::to_string(server.port),
            "--as",   name,         "--as-group",
            group,    "--mail-dir", dir.path + name};
        args.insert(args.end(), rest.begin(), rest.end());
        return args;
    }
    std::string mailDir(const char* name) { return dir.path + name + "/"; }

    RunningServer server;
    TempDir dir;
};

TEST_F(SendCommand, SendsEachKindAndKeepsWhatArrivesMeanwhile) {
    // bob registers by writing to himself: the mail reaches his session and is stored.
    ProgramRun run = tovic(as("bob", "dev", {"--to", "bob", "--title", "試験"}), "本文\n", dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(mails(mailDir("bob"), "_TovicR*"),
              (std::vector<std::string>{"bob:[Subject]:_[試験]_本文"}));
    // alice writes to bob, who is offline: held; with --save her sent box keeps it.
    run =
        tovic(as("alice", "dev", {"--to", "bob", "--title", "件名", "--save"}), "一\r\n二\n", dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(mails(mailDir("alice"), "_TovicS*"),
              (std::vector<std::string>{"bob:[Subject]:_[件名]_一\r\n二"}));
    // A group send and a send to all: bob's next session is handed the held mail too.
    run = tovic(as("alice", "dev", {"--group", "dev", "--title", "g"}), "x", dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(mails(mailDir("alice"), "_TovicR*"),
              (std::vector<std::string>{"alice:[Subject]:_[g]_x"}));
    run = tovic(as("bob", "dev", {"--all", "--title", "a"}), "y", dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(
        mails(mailDir("bob"), "_TovicR*"),
        (std::vector<std::string>{"alice:[Subject]:_[g]_x", "alice:[Subject]:_[件名]_一\r\n二",
                                  "bob:[Subject]:_[a]_y", "bob:[Subject]:_[試験]_本文"}));
    EXPECT_EQ(mails(mailDir("bob"), "_TovicS*"), std::vector<std::string>{});  // no --save

    // The user of a configuration directory, as the desktop client left it.
    TempDir config;
    ASSERT_TRUE(
        replaceFileAtomically(config.file("Tovic.ini"),
                              "[SERVER]\nADDRESS=127.0.0.1\nPORT=" + std::to_string(server.port) +
                                  "\n[USER]\nNAME=carol\n"
                                  "GROUP=ops\nDIR=" +
                                  mailDir("carol") + "\n"));
    run = tovic({"--send", "--config-dir", config.path, "--to", "bob", "--title", "c"}, "z", dir);
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(SendCommand, EveryRefusalHasItsStatusAndOneLine) {
    ASSERT_EQ(tovic(as("bob", "dev", {"--to", "bob", "--title", "t"}), "x", dir).status, 0);
    // carol's desktop client: a raw connection logged in as carol.
    ASSERT_EQ(tovic(as("carol", "ops", {"--to", "bob", "--title", "t"}), "x", dir).status, 0);
    CTcpSocket desktop;
    ASSERT_TRUE(desktop.connect("127.0.0.1", static_cast<uint16_t>(server.port), 2000));
    ASSERT_TRUE(writeBytes(desktop, frame(PKT_LOGIN, nameField("carol"))));
    ASSERT_EQ(readFrame(desktop), result(PKT_LOGIN_RESULT, 0));

    TempDir noConfig;
    const std::string tooLong(19501, 'a');
    const struct {
        std::vector<std::string> args;
        std::string input;
        int status;
        const char* line;
    } cases[] = {
        {as("bob", "dev", {"--to", "nobody", "--title", "t", "--save"}), "x", 9,
         "tovic: the user nobody does not exist\n"},
        {as("bob", "dev", {"--group", "none", "--title", "t"}), "x", 9,
         "tovic: the group none has no members\n"},
        {as("bob", "dev", {"--group", "dev", "--connected", "--title", "t"}), "x", 10,
         "tovic: no member of dev is connected; nothing was sent\n"},
        {as("carol", "ops", {"--to", "bob", "--title", "t"}), "x", 7,
         "tovic: carol is logged in elsewhere (its desktop client is connected); the server "
         "refuses a second log-in\n"},
        {as("bob", "dev", {"--to", "bob", "--title", ""}), "", 5,
         "tovic: メッセージを入力してください。\n"},
        {as("bob", "dev", {"--to", "bob", "--title", "t"}), tooLong, 5,
         "tovic: タイトルを含めたメッセージ長が19500文字を超えています。送信できません。"
         "現在の文字長(19502)\n"},
        {as("bob", "dev", {"--to", "bob", "--title", std::string(65, 't')}), "x", 5,
         "tovic: --title: 64 文字以内で入力してください。\n"},
        {as("bob", "dev", {"--to", "bob", "--title", "t"}), "\xF0\x9F\x98\x80", 4,
         "tovic: the body is not UTF-8 or holds a character cp932 cannot hold\n"},
        {{"--send", "--server", "127.0.0.1:" + std::to_string(freePort()), "--as", "bob",
          "--as-group", "dev", "--mail-dir", dir.path + "bob", "--to", "bob", "--title", "t"},
         "x",
         6,
         ""},
        {{"--send", "--config-dir", noConfig.path, "--to", "bob", "--title", "t"}, "x", 3, ""},
        {as("bob", "dev", {"--title", "t"}), "x", 2, ""},
    };
    for (const auto& c : cases) {
        const ProgramRun run = tovic(c.args, c.input, dir);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (*c.line != '\0') {
            EXPECT_EQ(run.err, c.line);
        }
        if (c.status != 2) {
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        }
    }
    // The refused mail's sent-mail file (--save) was taken back.
    EXPECT_EQ(mails(mailDir("bob"), "_TovicS*"), std::vector<std::string>{});
    const ProgramRun help = tovic({"--send", "--help"}, "", dir);
    EXPECT_EQ(help.status, 0);
    for (int status = 0; status <= 12; ++status)
        EXPECT_NE(help.out.find("\n  " + std::string(status < 10 ? " " : "") +
                                std::to_string(status) + "  "),
                  std::string::npos)
            << status;
}

}  // namespace
}  // namespace tovi::test
