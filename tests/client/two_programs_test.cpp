// Two real tovic programs that share one mail directory, against the real tovis: broadcasts reach
// both at the same moments, and every one of them is stored once for each user, none overwritten.
// Skipped when TOVI_BIN_DIR holds no tovic (the client program is built separately).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>

#include "client/connection/message_file.h"
#include "support/test_support.h"

namespace tovi::test {
namespace {

std::string binDir() {
    const char* dir = std::getenv("TOVI_BIN_DIR");
    return dir ? dir : "bin";
}

// A tovic child on its own configuration directory, windows offscreen, stderr in DIR/tovic.stderr.
// One still running at the end gets SIGTERM (SIGKILL after 5 s).
struct ClientProcess {
    pid_t pid = -1;
    bool start(const std::string& configDir) {
        const std::string program = binDir() + "/tovic";
        const std::string stderrPath = configDir + "/tovic.stderr";
        const std::string runtimeDir = configDir + "/runtime";
        makeDirectories(runtimeDir);
        if ((pid = ::fork()) == 0) {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
            ::dup2(::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            ::execl(program.c_str(), "tovic", "--config-dir", configDir.c_str(), nullptr);
            ::_exit(127);
        }
        return pid > 0;
    }
    // The exit code once it has ended within timeoutMs, -1 while it runs, -2 when killed.
    int stop(int timeoutMs) {
        if (pid <= 0) return -1;
        ::kill(pid, SIGTERM);
        int status = 0;
        if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs))
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    ~ClientProcess() {
        if (pid > 0 && stop(5000) == -1 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
};

// The sender: a bare connection that registers and then broadcasts. Deliveries of its own
// broadcasts that come back to it are read past.
struct Broadcaster {
    CTcpSocket socket;
    bool logIn(int port) {
        char body[PACKET_BUFFER_SIZE];
        return socket.connect("127.0.0.1", static_cast<uint16_t>(port), 2000) &&
               writeBytes(socket, frame(PKT_LOGIN, std::string(body, buildLogin(body, "boss")))) &&
               reply(PKT_LOGIN_RESULT).size() == 16 &&
               writeBytes(
                   socket,
                   frame(PKT_REGISTER, std::string(body, buildRegister(body, "boss", "office")))) &&
               reply(PKT_REGISTER_RESULT) == result(PKT_REGISTER_RESULT, 0);
    }
    // The next frame of the type, reading past deliveries; empty on time-out or a closed socket.
    std::string reply(int32_t type) {
        for (std::string got = readFrame(socket, 10000); !got.empty();
             got = readFrame(socket, 10000))
            if (getInt32(got.data()) == type) return got;
        return "";
    }
    // Names of the connected users in the server's list.
    std::set<std::string> connectedUsers() {
        char body[PACKET_BUFFER_SIZE];
        std::set<std::string> names;
        if (!writeBytes(socket,
                        frame(PKT_USERLIST_REQ,
                              std::string(body, buildUserListReq(body, USERLIST_FILTER_ALL, "")))))
            return names;
        const std::string list = reply(PKT_USERLIST);
        for (size_t i = 0; list.size() > 8 && i < userRecordCount(list.size() - 8); ++i) {
            UserRecord record;
            if (parseUserRecord(list.data() + 8, list.size() - 8, i, record) && record.connected)
                names.insert(record.name);
        }
        return names;
    }
    bool broadcast(const std::string& text) {
        char body[PACKET_BUFFER_SIZE];
        const size_t length = buildMail(body, SEND_TO_ALL, "", "", MAIL_MESSAGE, "boss",
                                        NOTICE_TOKEN_NONE, text.data(), text.size());
        return writeBytes(socket, frame(PKT_MAIL, std::string(body, length))) &&
               reply(PKT_MAIL_RESULT) == result(PKT_MAIL_RESULT, 0);
    }
};

TEST(TwoPrograms, ClientsSharingAMailDirectoryEachKeepEveryBroadcast) {
    if (!fileExists(binDir() + "/tovic") || !fileExists(binDir() + "/tovis"))
        GTEST_SKIP() << "no tovic or tovis in " << binDir();
    constexpr int BROADCASTS = 120;
    TempDir root;
    const std::string mail = root.path + "mail/";
    const int port = freePort();
    ASSERT_TRUE(makeDirectories(root.path + "server") && makeDirectories(mail));
    ASSERT_TRUE(replaceFileAtomically(root.path + "server/Tovis.ini",
                                      "[SERVER]\nPORT=" + std::to_string(port) + "\n"));
    ServerProcess server;
    ASSERT_TRUE(server.start(root.path + "server") && waitServerUp(port, 10000));

    const char* users[] = {"ann", "ben"};
    ClientProcess clients[2];
    for (int i = 0; i < 2; ++i) {
        const std::string dir = root.path + users[i];
        ASSERT_TRUE(makeDirectories(dir));
        ASSERT_TRUE(replaceFileAtomically(dir + "/Tovic.ini",
                                          "[SERVER]\nPORT=" + std::to_string(port) +
                                              "\nADDRESS=127.0.0.1\n[USER]\nNAME=" + users[i] +
                                              "\nGROUP=office\nDIR=" + mail + "\n"));
        ASSERT_TRUE(clients[i].start(dir));
    }
    Broadcaster boss;
    ASSERT_TRUE(boss.logIn(port));
    ASSERT_TRUE(eventually(
        [&] {
            std::set<std::string> on = boss.connectedUsers();
            return on.count("ann") && on.count("ben");
        },
        20000))
        << "the two clients did not log in";

    for (int i = 0; i < BROADCASTS; ++i)
        ASSERT_TRUE(boss.broadcast("[Subject]:_[all]_" + std::to_string(i))) << i;

    auto received = [&] {
        Names names = findFiles(mail, CMessageFile::RECEIVED_PATTERN);
        names.erase(std::remove(names.begin(), names.end(), CMessageFile::RECEIVED_FLAG),
                    names.end());
        return names;
    };
    // Each worker pauses 20 ms after every taken name, so a burst takes a while.
    EXPECT_TRUE(eventually([&] { return received().size() >= 2 * BROADCASTS; }, 120000))
        << received().size();
    std::map<std::string, std::multiset<std::string>> byOwner;
    for (const std::string& name : received()) {
        MailHead head;
        std::string text;
        ASSERT_TRUE(CMessageFile::read(mail + name, head, &text)) << name;
        byOwner[head.owner].insert(text);
    }
    std::multiset<std::string> expected;
    for (int i = 0; i < BROADCASTS; ++i) expected.insert("[Subject]:_[all]_" + std::to_string(i));
    for (const char* user : users) EXPECT_TRUE(byOwner[user] == expected) << user;
    EXPECT_EQ(byOwner.size(), 2u);
    for (ClientProcess& c : clients) EXPECT_EQ(c.stop(10000), 0);
    EXPECT_TRUE(findFiles(mail, std::string(CMessageFile::TEMPORARY_PREFIX) + "*").empty());
}

}  // namespace
}  // namespace tovi::test
