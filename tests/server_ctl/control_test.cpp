// tovisctl against the real server over its control socket (CServerApp on 127.0.0.1 in a fresh
// directory, the command run in-process): users, deletion, the holding period, status, backup,
// the socket's own rules and every error's exit status; then the network controls with source
// addresses on the loopback network.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/event_log.h"
#include "platform/unix_socket.h"
#include "server/ctl/tovis_ctl.h"
#include "server/server_support.h"

namespace tovi::test {
namespace {

constexpr int32_t DAY = 86400;

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

std::string drain(FILE* f) {
    std::rewind(f);
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    return text;
}

Outcome tovisctl(const std::string& dir, std::vector<std::string> args) {
    if (!dir.empty()) args.insert(args.begin(), {"--config-dir", dir});
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const int code = CTovisCtl(out, err).run(args);
    return {code, drain(out), drain(err)};
}

class Control : public ServerAppTest {
  protected:
    void SetUp() override {
        setEventLogSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(m_logMutex);
            m_log.push_back(line);
        });
    }
    void TearDown() override {
        ServerAppTest::TearDown();
        setEventLogSink(nullptr);
    }
    Outcome ctl(std::vector<std::string> args) { return tovisctl(dir.path, std::move(args)); }
    bool logged(const std::string& part) {
        std::lock_guard<std::mutex> lock(m_logMutex);
        for (const std::string& line : m_log)
            if (line.find(part) != std::string::npos) return true;
        return false;
    }

  private:
    std::mutex m_logMutex;
    Names m_log;
};

TEST_F(Control, ListsUsersAndDeletesOneAsTheWindowDoes) {
    const int32_t now = nowSeconds();
    startServer("",
                userRecord(cp932("山田"), cp932("営業")) + userRecord("bob") + userRecord("carol"),
                heldMessage(cp932("山田"), now, "one") + heldMessage(cp932("山田"), now, "two"));
    auto bob = enter("bob");
    Outcome o = ctl({"users"});
    EXPECT_EQ(o.code, CTovisCtl::EXIT_DONE) << o.err;
    EXPECT_EQ(o.out,
              "山田\t営業\toffline\t2\nbob\toffice\tconnected\t0\ncarol\toffice\toffline\t0\n");
    o = ctl({"users", "--raw"});
    EXPECT_EQ(o.out.substr(0, 5), cp932("山田") + "\t");

    // Deleting bob disconnects his client at once; an unknown name is an error of its own.
    o = ctl({"delete-user", "bob"});
    EXPECT_EQ(o.code, CTovisCtl::EXIT_DONE) << o.err;
    EXPECT_TRUE(bob->waitClosed(5000));
    EXPECT_TRUE(logged("user bob deleted through the control socket"));
    o = ctl({"delete-user", "bob"});
    EXPECT_EQ(o.code, CTovisCtl::EXIT_UNKNOWN_USER);
    EXPECT_NE(o.err.find("no such user"), std::string::npos);

    // 山田's held mail goes with him: the next log-in's hand-over thins the store.
    EXPECT_EQ(ctl({"delete-user", "山田"}).code, CTovisCtl::EXIT_DONE);
    auto carol = enter("carol");
    EXPECT_TRUE(eventually(
        [&] { return ctl({"status"}).out.find("held_mails:          0") != std::string::npos; }));
    EXPECT_EQ(ctl({"users"}).out, "carol\toffice\tconnected\t0\n");
    EXPECT_TRUE(
        eventually([&] { return logged("held-mail store rewritten: 0 records, 0 bytes"); }));
}

TEST_F(Control, TheHoldingPeriodIsWrittenThenAppliedAtTheNextLogIn) {
    const int32_t now = nowSeconds();
    startServer("DELLIMIT=3600\n", userRecord("bob") + userRecord("carol"),
                heldMessage("carol", now - 8 * DAY, "8 days") +
                    heldMessage("carol", now - 2 * DAY, "2 days"));
    EXPECT_EQ(ctl({"hold-days"}).out, "3600 s (DELLIMIT in Tovis.ini is not whole days)\n");
    EXPECT_EQ(ctl({"hold-days", "forever"}).out, "forever\n");
    EXPECT_NE(contents(dir.file("Tovis.ini")).find("DELLIMIT=0\n"), std::string::npos);
    Outcome o = ctl({"hold-days", "7"});
    EXPECT_EQ(o.code, CTovisCtl::EXIT_DONE);
    EXPECT_EQ(o.out, "7\n");
    EXPECT_NE(contents(dir.file("Tovis.ini")).find("DELLIMIT=604800\n"), std::string::npos);
    EXPECT_EQ(ctl({"hold-days"}).out, "7\n");
    EXPECT_EQ(app->holdLimit(), 7 * DAY);
    EXPECT_TRUE(logged("holding period changed by the control socket to 604800 s"));
    // bob's log-in thins the store by the new period: carol keeps only her 2-day-old mail.
    auto bob = enter("bob");
    EXPECT_TRUE(eventually(
        [&] { return ctl({"status"}).out.find("held_mails:          1\n") != std::string::npos; }));
    auto carol = enter("carol");
    EXPECT_EQ(carol->next().text(), "2 days");
    EXPECT_TRUE(carol->expectNothing(300));
    EXPECT_EQ(ctl({"hold-days", "-1"}).code, CTovisCtl::EXIT_USAGE);
    EXPECT_EQ(ctl({"hold-days", "10000"}).code, CTovisCtl::EXIT_USAGE);
}

TEST_F(Control, StatusCountsKnownTrafficInThreeFormats) {
    startServer();
    auto alice = enter("alice"), bob = enter("bob");
    EXPECT_EQ(alice->sendMail(mailBody(SEND_TO_USER, "bob", "", "alice", "hi")), 0);
    EXPECT_EQ(alice->sendMail(mailBody(SEND_TO_USER, "nobody", "", "alice", "hi")), 1);
    bob->close();
    EXPECT_TRUE(eventually(
        [&] { return ctl({"status"}).out.find("users_connected:     1") != std::string::npos; }));
    EXPECT_EQ(alice->sendMail(mailBody(SEND_TO_USER, "bob", "", "alice", "held")), 0);
    const Outcome text = ctl({"status"});
    EXPECT_EQ(text.code, CTovisCtl::EXIT_DONE);
    // The log tells of registrations and refused log-ins, never of a mail.
    CTestClient ghost;
    ASSERT_TRUE(ghost.connect(port));
    EXPECT_EQ(ghost.login("ghost"), LOGIN_UNKNOWN_NAME);
    EXPECT_TRUE(logged("user alice registered from 127.0.0.1"));
    EXPECT_TRUE(logged("log-in of ghost refused: not registered"));
    EXPECT_FALSE(logged("hi"));
    for (const std::string& line :
         {std::string("port:                ") + std::to_string(port),
          std::string("users_registered:    2"), std::string("held_mails:          1"),
          std::string("mails_relayed:       2"), std::string("mails_refused:       1"),
          std::string("connections_refused: 0"), std::string("data_directory:      ") + dir.path})
        EXPECT_NE(text.out.find(line + "\n"), std::string::npos) << line << "\n" << text.out;
    const Outcome json = ctl({"status", "--json"});
    EXPECT_NE(json.out.find("\"mails_relayed\": 2, \"mails_refused\": 1"), std::string::npos)
        << json.out;
    const Outcome metrics = ctl({"status", "--openmetrics"});
    EXPECT_NE(metrics.out.find("# TYPE tovis_mails_relayed_total counter\n"
                               "tovis_mails_relayed_total 2\n"),
              std::string::npos)
        << metrics.out;
    EXPECT_EQ(metrics.out.substr(metrics.out.size() - 6), "# EOF\n");
}

// 50 clients relay while a large hand-over runs; the backup taken meanwhile loads in a fresh
// server and holds what the running one held at that moment.
TEST_F(Control, ABackupTakenUnderLoadLoadsInAFreshServer) {
    std::string users = userRecord("late");
    std::string store;
    const int32_t now = nowSeconds();
    for (int i = 0; i < 2000; ++i) store += heldMessage("late", now, std::string(1000, 'x'));
    for (int i = 0; i < 50; ++i) users += userRecord("u" + std::to_string(i));
    startServer("", users, store);
    std::vector<std::unique_ptr<CTestClient>> clients;
    for (int i = 0; i < 50; ++i) clients.push_back(enter("u" + std::to_string(i)));
    std::atomic<bool> done{false};
    std::vector<std::thread> relays;
    for (int t = 0; t < 5; ++t)
        relays.emplace_back([&, t] {
            for (int round = 0; !done && round < 200; ++round)
                for (int i = t * 10; i < t * 10 + 10; ++i)
                    clients[i]->sendMail(mailBody(SEND_TO_USER, "u" + std::to_string((i + 1) % 50),
                                                  "", "u" + std::to_string(i), "relay"));
        });
    auto late = enter("late");  // the hand-over of 2 MB begins
    TempDir copy;
    const Outcome o = ctl({"backup", copy.path});
    done = true;
    for (auto& r : relays) r.join();
    EXPECT_EQ(o.code, CTovisCtl::EXIT_DONE) << o.err;
    EXPECT_TRUE(logged("backup taken into"));
    for (const char* name : {"TovisUser.dat", "TovisBackMail.dat", "Tovis.ini"})
        EXPECT_TRUE(fileExists(copy.file(name))) << name;
    EXPECT_EQ(contents(copy.file("TovisUser.dat")), users);
    EXPECT_EQ(contents(copy.file("Tovis.ini")), contents(dir.file("Tovis.ini")));
    // Whatever the copy holds is whole records of late's mail, no more than the store had.
    const Names kept = held(copy.file("TovisBackMail.dat"));
    EXPECT_LE(kept.size(), 2000u);
    size_t bytes = 0;
    for (const std::string& k : kept) bytes += 28 + 28 + k.size() - 5;
    EXPECT_EQ(contents(copy.file("TovisBackMail.dat")).size(), bytes);

    // The copy is a server's directory: a fresh server loads it and hands the mail over.
    app.reset();
    CServerApp fresh(copy.path);
    ASSERT_TRUE(replaceFileAtomically(copy.file("Tovis.ini"),
                                      "[SERVER]\nPORT=" + std::to_string(freePort()) + "\n"));
    ASSERT_EQ(fresh.start(), CServerApp::START_OK);
    CTestClient again;
    ASSERT_TRUE(again.connect(fresh.listeningPort()));
    EXPECT_EQ(again.login("late"), LOGIN_ACCEPTED);
    size_t delivered = 0;
    while (again.next(2000).type == PKT_MAIL) ++delivered;
    EXPECT_EQ(delivered, kept.size());
    const Outcome listed = tovisctl(copy.path, {"users"});
    EXPECT_NE(listed.out.find("u49\toffice\toffline\t"), std::string::npos);
}

TEST_F(Control, TheSocketIsTheOwnersAndTellsWhetherAServerRuns) {
    startServer();
    struct stat st;
    ASSERT_EQ(::lstat(dir.file("tovis.ctl").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A second server on the same directory refuses to start and leaves the first one alone.
    CServerApp second(dir.path);
    EXPECT_EQ(second.start(), CServerApp::START_REFUSED);
    EXPECT_NE(second.startError().find("another server is running on " + dir.path),
              std::string::npos);
    EXPECT_EQ(ctl({"status"}).code, CTovisCtl::EXIT_DONE);

    // A socket left by a server that ended (nobody accepts on it) is taken over.
    app.reset();
    EXPECT_EQ(ctl({"status"}).code, CTovisCtl::EXIT_NO_SERVER);
    {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, dir.file("tovis.ctl").c_str());
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::close(stale);
    }
    EXPECT_EQ(ctl({"status"}).code, CTovisCtl::EXIT_NO_SERVER);
    startServer();
    EXPECT_EQ(ctl({"status"}).code, CTovisCtl::EXIT_DONE);

    // Every error has its own status and one line on stderr.
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const Case cases[] = {{{}, CTovisCtl::EXIT_USAGE},
                          {{"reboot"}, CTovisCtl::EXIT_USAGE},
                          {{"users", "--json"}, CTovisCtl::EXIT_USAGE},
                          {{"delete-user"}, CTovisCtl::EXIT_USAGE},
                          {{"delete-user", "123456789012345678901"}, CTovisCtl::EXIT_BAD_NAME},
                          {{"delete-user", "一二三四五六七八九十一"}, CTovisCtl::EXIT_BAD_NAME},
                          {{"delete-user", "😀"}, CTovisCtl::EXIT_BAD_NAME},
                          {{"delete-user", "nobody"}, CTovisCtl::EXIT_UNKNOWN_USER},
                          {{"backup", dir.file("Tovis.ini/x")}, CTovisCtl::EXIT_FAILED}};
    for (const Case& c : cases) {
        const Outcome o = ctl(c.args);
        EXPECT_EQ(o.code, c.code) << (c.args.empty() ? "" : c.args[0]);
        if (c.code != CTovisCtl::EXIT_USAGE || !c.args.empty()) {
            EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        }
    }
    TempDir none;
    EXPECT_EQ(tovisctl(none.path, {"status"}).code, CTovisCtl::EXIT_NO_SERVER);
    // Without --config-dir and nothing listening in the default directory, the service's socket
    // (here the running server's) is used; with --config-dir it never is.
    {
        const char* saved = std::getenv("TOVI_CONFIG_DIR");
        const std::string before = saved ? saved : "";
        ::setenv("TOVI_CONFIG_DIR", none.path.c_str(), 1);
        FILE* null = std::fopen("/dev/null", "w");
        EXPECT_EQ(CTovisCtl(null, null, dir.file("tovis.ctl")).run({"status"}),
                  CTovisCtl::EXIT_DONE);
        EXPECT_EQ(
            CTovisCtl(null, null, dir.file("tovis.ctl")).run({"--config-dir", none.path, "status"}),
            CTovisCtl::EXIT_NO_SERVER);
        EXPECT_EQ(CTovisCtl(null, null, none.file("absent.ctl")).run({"status"}),
                  CTovisCtl::EXIT_NO_SERVER);
        std::fclose(null);
        if (saved)
            ::setenv("TOVI_CONFIG_DIR", before.c_str(), 1);
        else
            ::unsetenv("TOVI_CONFIG_DIR");
    }
    // A socket this user may not open: another user tries (root, who may open any, becomes
    // nobody in a child for this).
    const auto asOtherUser = [&]() -> int {
        if (::geteuid() != 0) {
            ::chmod(dir.file("tovis.ctl").c_str(), 0);
            return ctl({"status"}).code;
        }
        const pid_t child = ::fork();
        if (child == 0) {
            const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
            FILE* null = std::fopen("/dev/null", "w");
            ::_exit(dropped ? CTovisCtl(null, null).run({"--config-dir", dir.path, "status"})
                            : 100);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(asOtherUser(), CTovisCtl::EXIT_DENIED);
    const Outcome help = tovisctl("", {"--help"});
    EXPECT_NE(help.out.find("  4  no user of that name\n"), std::string::npos);
}

// A connection from the source address given, to the server's port on 127.0.0.1.
int connectFrom(const char* source, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the server closes the connection within ms without a byte (a log-in is sent first,
// so that a connection it kept answers).
bool closedAtOnce(int fd, int ms) {
    const std::string login = frame(PKT_LOGIN, nameField("nobody"));
    (void)!::send(fd, login.data(), login.size(), MSG_NOSIGNAL);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char c;
    return ::recv(fd, &c, 1, 0) <= 0;
}

TEST_F(Control, OnlyAllowedNetworksAndAtMostPerHostConnectionsTakeASlot) {
    startServer("ALLOW=127.0.0.1/32,127.0.0.3\nPERHOST=2\n");
    const int outside = connectFrom("127.0.0.2", port);
    if (outside < 0) GTEST_SKIP() << "no 127.0.0.2 on this machine";
    EXPECT_TRUE(closedAtOnce(outside, 3000));
    ::close(outside);
    const int a = connectFrom("127.0.0.1", port), b = connectFrom("127.0.0.1", port);
    const int third = connectFrom("127.0.0.1", port), other = connectFrom("127.0.0.3", port);
    EXPECT_FALSE(closedAtOnce(a, 2000));
    EXPECT_FALSE(closedAtOnce(b, 2000));
    EXPECT_TRUE(closedAtOnce(third, 3000));
    EXPECT_FALSE(closedAtOnce(other, 2000));
    // Two refusals counted; the one address outside is logged once however often it tries.
    const int again = connectFrom("127.0.0.2", port);
    EXPECT_TRUE(closedAtOnce(again, 3000));
    EXPECT_NE(ctl({"status"}).out.find("connections_refused: 3\n"), std::string::npos);
    EXPECT_TRUE(logged("connection from 127.0.0.2 refused: not in ALLOW"));
    EXPECT_TRUE(logged("connection from 127.0.0.1 refused: PERHOST reached"));
    for (const int fd : {a, b, third, other, again}) ::close(fd);
}

TEST_F(Control, BindListensOnOneAddressAndAMalformedKeyRefusesToStart) {
    startServer("BIND=127.0.0.2\n");
    const int on = connectFrom("127.0.0.1", port);
    EXPECT_LT(on, 0);  // nothing listens on 127.0.0.1
    if (on >= 0) ::close(on);
    CTcpSocket s;
    EXPECT_TRUE(s.connect("127.0.0.2", static_cast<uint16_t>(port), 2000));
    EXPECT_NE(ctl({"status"}).out.find("address:             127.0.0.2\n"), std::string::npos);
    app.reset();

    ASSERT_TRUE(
        replaceFileAtomically(dir.file("Tovis.ini"), "[SERVER]\nPORT=1\nALLOW=10.0.0.1/8\n"));
    CServerApp refused(dir.path);
    EXPECT_EQ(refused.start(), CServerApp::START_REFUSED);
    EXPECT_NE(refused.startError().find("ALLOW=10.0.0.1/8"), std::string::npos);
    EXPECT_FALSE(fileExists(dir.file("tovis.ctl")));
}

}  // namespace
}  // namespace tovi::test
