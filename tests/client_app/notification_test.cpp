// Desktop notifications end to end: the D-Bus notifier against a real notification daemon
// (dunst) on a private session bus and a private display (Xvfb). Without a service on the bus
// nothing fails and nothing is shown; with one, a note is displayed, a burst replaces it in
// place, and a click on its default action reaches its handler; then a client window hidden
// away announces a new mail through the daemon, and the click on it brings the window back.
// Skipped when dunst, dbus-daemon or Xvfb is missing or does not start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <fstream>

#include "client/connection/message_file.h"
#include "client_app_support.h"
#include "qt_support.h"
#include "ui/qt/dbus_desktop_notifier.h"
#include "ui/qt/program_icon.h"
#include "ui/qt/tray_icon.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

// A child with the environment changes given; its stdout is read through a pipe when wanted.
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment,
            int* stdoutPipe = nullptr) {
    int fds[2] = {-1, -1};
    if (stdoutPipe != nullptr && ::pipe(fds) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const std::string& change : environment) ::putenv(const_cast<char*>(change.c_str()));
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(stdoutPipe != nullptr ? fds[1] : null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    if (stdoutPipe != nullptr) {
        ::close(fds[1]);
        *stdoutPipe = fds[0];
    }
    return pid;
}

// The first line a child writes (at most timeoutMs).
std::string firstLine(int fd, int timeoutMs) {
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string line;
    pump(
        [&] {
            char c;
            while (::read(fd, &c, 1) == 1) {
                if (c == '\n') return true;
                line += c;
            }
            return false;
        },
        timeoutMs);
    return line;
}

struct DesktopSession {
    std::vector<pid_t> children;
    std::string display;
    std::string address;

    bool startBus() {
        for (const char* program : {"Xvfb", "dbus-daemon", "dunst", "dunstctl"})
            if (spawnWait({"sh", "-c", std::string("command -v ") + program}) != 0) return false;
        int out = -1;
        children.push_back(
            spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"}, {},
                  &out));
        display = ":" + firstLine(out, 10000);
        ::close(out);
        children.push_back(
            spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, &out));
        address = firstLine(out, 10000);
        ::close(out);
        return display.size() > 1 && !address.empty();
    }
    bool startDaemon(QDBusConnection& bus) {
        children.push_back(spawn({"dunst"}, environment()));
        return pump(
            [&] { return bus.interface()->isServiceRegistered("org.freedesktop.Notifications"); },
            10000);
    }
    std::vector<std::string> environment() const {
        return {"DISPLAY=" + display, "DBUS_SESSION_BUS_ADDRESS=" + address};
    }
    int spawnWait(const std::vector<std::string>& args) {
        const pid_t pid = spawn(args, environment());
        int status = 0;
        if (pid < 0 || !pump([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10000))
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // dunstctl's answer (its first line).
    std::string dunstctl(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"dunstctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        int out = -1;
        const pid_t pid = spawn(argv, environment(), &out);
        const std::string line = firstLine(out, 5000);
        ::close(out);
        ::waitpid(pid, nullptr, 0);
        return line;
    }
    ~DesktopSession() {
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            if (*it <= 0) continue;
            ::kill(*it, SIGTERM);
            ::waitpid(*it, nullptr, 0);
        }
    }
};

TEST(DesktopNotifications, ShownByTheDaemonMergedInPlaceAndClickedThrough) {
    qtApp();
    DesktopSession session;
    if (!session.startBus()) GTEST_SKIP() << "no Xvfb, dbus-daemon or dunst here";
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(session.address),
                                                        QStringLiteral("tovi-notification-test"));
    ASSERT_TRUE(bus.isConnected());
    CDbusDesktopNotifier notifier(QStringLiteral("トヴィカ"), QStringLiteral("tovic"),
                                  CProgramIcon::icon(), bus);
    std::vector<DesktopNote::Kind> activated;
    int closed = 0;
    notifier.setHandlers([&](DesktopNote::Kind kind) { activated.push_back(kind); },
                         [&](DesktopNote::Kind) { ++closed; });
    DesktopNote note;
    note.summary = cp932("新着メール");
    note.body = cp932("bob\n試験 <&>");
    note.count = 1;

    // No bus in the environment: nothing is connected (no bus is started for the program), and a
    // note goes nowhere.
    {
        const std::string address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS").toStdString();
        const std::string runtime = qEnvironmentVariable("XDG_RUNTIME_DIR").toStdString();
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::setenv("XDG_RUNTIME_DIR", session.display.c_str(), 1);  // no "bus" there
        CDbusDesktopNotifier busless(QStringLiteral("トヴィカ"), QStringLiteral("tovic"),
                                     CProgramIcon::icon());
        busless.notify(note);
        EXPECT_FALSE(CDbusDesktopNotifier::sessionBusIfAny().isConnected());
        if (!address.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        if (!runtime.empty()) ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        if (runtime.empty()) ::unsetenv("XDG_RUNTIME_DIR");
    }

    // No service on the bus yet: the call fails quietly and nothing waits for it.
    notifier.notify(note);
    pumpFor(300);
    EXPECT_EQ(notifier.answeredCalls(), 0);

    if (!session.startDaemon(bus)) GTEST_SKIP() << "dunst did not start";
    notifier.notify(note);
    ASSERT_TRUE(pump([&] { return notifier.openCount() == 1; }, 5000));
    EXPECT_TRUE(pump([&] { return session.dunstctl({"count", "displayed"}) == "1"; }, 5000));
    // A burst: the next note takes the place of the first one.
    note.replacesLast = true;
    note.count = 2;
    note.body = cp932("2 通のメールが届きました\ncarol\n会議");
    notifier.notify(note);
    ASSERT_TRUE(pump([&] { return notifier.answeredCalls() == 2; }, 5000));
    EXPECT_EQ(notifier.openCount(), 1);
    EXPECT_EQ(session.dunstctl({"count", "displayed"}), "1");

    // A click on it (its default action).
    EXPECT_EQ(session.spawnWait({"dunstctl", "action", "0"}), 0);
    ASSERT_TRUE(pump([&] { return !activated.empty(); }, 5000));
    EXPECT_EQ(activated, std::vector<DesktopNote::Kind>{DesktopNote::NEW_MAIL});
    EXPECT_EQ(session.spawnWait({"dunstctl", "close-all"}), 0);
    EXPECT_TRUE(pump([&] { return closed == 1 && notifier.openCount() == 0; }, 5000));

    // The whole way: a window put away (minimised here, where no tray exists), a mail arriving,
    // its notification shown by the daemon, the click on it bringing the window back.
    CScriptedMessageBoxes boxes;
    setDesktopNotifier(&notifier);
    {
        ScriptedServer server{acceptingServer};
        TempDir dir;
        ClientWindow client{dir.path, server.port(), "alice", "sales"};
        client.window->toTray();
        ASSERT_TRUE(client.window->isMinimized());
        std::ofstream(client.mailDir + "_TovicR17000000010", std::ios::binary)
            << mailBytes("alice", 1700000000, 0, "bob", 7, cp932("[Subject]:_[試験]_本文"));
        ASSERT_TRUE(CMessageFile::raiseFlag(client.mailDir, CMessageFile::RECEIVED_FLAG));
        ASSERT_TRUE(pump([&] { return notifier.openCount() == 1; }, 5000));
        EXPECT_EQ(session.dunstctl({"count", "displayed"}), "1");
        EXPECT_EQ(session.spawnWait({"dunstctl", "action", "0"}), 0);
        EXPECT_TRUE(pump([&] { return !client.window->isMinimized(); }, 5000));
        EXPECT_EQ(client.window->trayIcon()->badge(), QStringLiteral("1"));
    }
    setDesktopNotifier(nullptr);
}

}  // namespace
}  // namespace tovi::test
