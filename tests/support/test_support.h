// Shared by the test folders: a temporary directory, cp932 text, waiting with a limit, hand-built
// frames and fields, whole frames read from a socket with a time-out, and the real tovis program
// as a child process.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/file.h"
#include "platform/tcp_socket.h"
#include "protocol/packets.h"

namespace tovi::test {

using Names = std::vector<std::string>;

// A fresh directory under the system's temporary directory (path ends in '/'), removed with it.
struct TempDir {
    std::string path = std::filesystem::temp_directory_path() / "tovi-test-XXXXXX";
    TempDir() {
        EXPECT_TRUE(::mkdtemp(path.data()));
        path += '/';
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + name; }
};

inline std::string cp932(const char* utf8) {
    std::string out;
    EXPECT_TRUE(utf8ToCp932(utf8, out)) << utf8;
    return out;
}
// The whole file, or "<unreadable>".
inline std::string contents(const std::string& path) {
    std::string data;
    return readWholeFile(path, data) ? data : "<unreadable>";
}

// Polls cond every 5 ms until it holds, for at most timeoutMs.
template <class F>
bool eventually(F cond, int timeoutMs = 5000) {
    for (const int64_t end = monotonicMs() + timeoutMs; !cond(); sleepMs(5))
        if (monotonicMs() > end) return false;
    return true;
}

inline std::string int32s(std::initializer_list<int32_t> values) {
    std::string bytes(4 * values.size(), '\0');
    for (size_t i = 0; i < values.size(); ++i) putInt32(bytes.data() + 4 * i, values.begin()[i]);
    return bytes;
}
// A name field: the name cut or padded with zero bytes to 20.
inline std::string nameField(const std::string& name) {
    std::string f = name.substr(0, NAME_FIELD_SIZE);
    f.resize(NAME_FIELD_SIZE, '\0');
    return f;
}
inline std::string frame(int32_t type, const std::string& body) {
    return int32s({type, static_cast<int32_t>(body.size())}) + body;
}
// An answer frame: the failed flag (1 for a reason other than 0) and the reason.
inline std::string result(int32_t type, int32_t reason) {
    return frame(type, int32s({reason != 0, reason}));
}
// A PKT_MAIL delivery frame: time, kind, sender, token, then the text.
inline std::string delivery(int32_t time, int32_t kind, const std::string& sender, int32_t token,
                            const std::string& text) {
    return frame(PKT_MAIL, int32s({time, kind}) + nameField(sender) + int32s({token}) + text);
}

// Reads one whole frame within timeoutMs; empty on time-out, end of stream or error.
inline std::string readFrame(CTcpSocket& peer, int timeoutMs = 5000) {
    const int64_t until = monotonicMs() + timeoutMs;
    std::string bytes(8, '\0');
    for (size_t got = 0; got < bytes.size();) {
        int left = static_cast<int>(std::max<int64_t>(until - monotonicMs(), 0));
        long r = peer.waitReadable(left) > 0 ? peer.readSome(&bytes[got], bytes.size() - got) : -1;
        if (r < 0) return "";
        if ((got += static_cast<size_t>(r)) != 8) continue;
        const int32_t length = getInt32(&bytes[4]);
        if (length < 0 || length > 1 << 20) return "";
        bytes.resize(8 + static_cast<size_t>(length));
    }
    return bytes;
}
inline bool writeBytes(CTcpSocket& peer, const std::string& bytes) {
    return peer.writeAll(bytes.data(), bytes.size(), 5000);
}

// A port on 127.0.0.1 where nothing listens (it was free a moment ago).
inline int freePort() {
    CTcpSocket probe;
    return probe.listen("127.0.0.1", 0, 1) ? probe.localPort() : -1;
}
// Until the server on port answers a log-in, at most timeoutMs. The probe waits for the answer: a
// silent connection would hold the server's log-in wait for its full 10 s.
inline bool waitServerUp(int port, int timeoutMs) {
    return eventually(
        [&] {
            CTcpSocket probe;
            return probe.connect("127.0.0.1", static_cast<uint16_t>(port), 500) &&
                   writeBytes(probe, frame(PKT_LOGIN, nameField(""))) &&
                   readFrame(probe, 10000).substr(0, 4) == int32s({PKT_LOGIN_RESULT});
        },
        timeoutMs);
}

// A program of TOVI_BIN_DIR run as a child: argv after the program name, the environment changed
// as given ("NAME=value" sets, "NAME" removes), stderr into stderrPath. One still running at the
// end gets SIGTERM, then SIGKILL after 5 s.
struct ChildProgram {
    pid_t pid = -1;
    std::string stderrPath;
    static std::string path(const char* name) {
        const char* binDir = std::getenv("TOVI_BIN_DIR");
        return std::string(binDir ? binDir : "bin") + "/" + name;
    }
    bool start(const char* name, std::vector<std::string> args, const std::string& errPath,
               const std::vector<std::string>& environment = {}) {
        const std::string program = path(name);
        if (!fileExists(program)) ADD_FAILURE() << "no " << program;
        stderrPath = errPath;
        args.insert(args.begin(), name);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if ((pid = ::fork()) == 0) {
            for (const std::string& change : environment) {
                const size_t eq = change.find('=');
                if (eq == std::string::npos)
                    ::unsetenv(change.c_str());
                else
                    ::setenv(change.substr(0, eq).c_str(), change.c_str() + eq + 1, 1);
            }
            ::dup2(::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        return pid > 0;
    }
    // Waits at most timeoutMs: the exit code, -1 while it runs, -2 when killed by a signal.
    int wait(int timeoutMs) {
        int status = 0;
        if (pid <= 0 ||
            !eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs))
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
    int stop(int signal, int timeoutMs) {
        return pid > 0 && ::kill(pid, signal) == 0 ? wait(timeoutMs) : -1;
    }
    ~ChildProgram() {
        if (stop(SIGTERM, 5000) == -1 && pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
    }
};

// The real server, TOVI_BIN_DIR/tovis --headless --config-dir DIR, as a child with its stderr in
// DIR/tovis.stderr.
struct ServerProcess : ChildProgram {
    bool start(const std::string& configDir) {
        return ChildProgram::start("tovis", {"--headless", "--config-dir", configDir},
                                   configDir + "/tovis.stderr");
    }
};

// The real server on a free port of 127.0.0.1, its files in a directory of its own; start() waits
// until it answers, stop() ends it with SIGTERM and expects a clean exit.
struct RunningServer {
    TempDir dir;
    int port = freePort();
    std::unique_ptr<ServerProcess> process;
    RunningServer() {
        EXPECT_TRUE(replaceFileAtomically(dir.file("Tovis.ini"),
                                          "[SERVER]\nPORT=" + std::to_string(port) + "\n"));
        start();
    }
    void start() {
        process = std::make_unique<ServerProcess>();
        EXPECT_TRUE(process->start(dir.path) && waitServerUp(port, 10000));
    }
    void stop() {
        ::kill(process->pid, SIGTERM);
        EXPECT_EQ(process->wait(10000), 0);
    }
};

}  // namespace tovi::test
