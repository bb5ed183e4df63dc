#include "bench/bench_common.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/echo_server.h"
#include "bench/raw_client.h"
#include "bench/server_process.h"
#include "platform/file.h"
#include "platform/tcp_socket.h"
#include "protocol/bs_client_socket.h"
#include "protocol/packets.h"

namespace tovi {

int64_t benchMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double percentile(std::vector<double>& samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    if (p <= 0) return samples.front();
    if (p >= 100) return samples.back();
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * double(samples.size())));
    if (rank == 0) rank = 1;
    return samples[rank - 1];
}

JsonField jsonNumber(const std::string& key, double value) {
    JsonField f;
    f.key = key;
    f.kind = JsonField::NUMBER;
    f.number = value;
    return f;
}

JsonField jsonInteger(const std::string& key, long long value) {
    JsonField f;
    f.key = key;
    f.kind = JsonField::INTEGER;
    f.integer = value;
    return f;
}

JsonField jsonBool(const std::string& key, bool value) {
    JsonField f;
    f.key = key;
    f.kind = JsonField::BOOLEAN;
    f.boolean = value;
    return f;
}

JsonField jsonText(const std::string& key, const std::string& value) {
    JsonField f;
    f.key = key;
    f.kind = JsonField::TEXT;
    f.text = value;
    return f;
}

static void appendJsonString(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

std::string jsonLine(const std::vector<JsonField>& fields) {
    std::string out = "{";
    bool first = true;
    for (const JsonField& f : fields) {
        if (!first) out += ',';
        first = false;
        appendJsonString(out, f.key);
        out += ':';
        char buf[64];
        switch (f.kind) {
            case JsonField::NUMBER:
                // JSON has no NaN or infinity; a figure that could not be measured is null.
                if (!std::isfinite(f.number)) {
                    out += "null";
                } else {
                    std::snprintf(buf, sizeof buf, "%.6g", f.number);
                    out += buf;
                }
                break;
            case JsonField::INTEGER:
                std::snprintf(buf, sizeof buf, "%lld", f.integer);
                out += buf;
                break;
            case JsonField::BOOLEAN:
                out += f.boolean ? "true" : "false";
                break;
            case JsonField::TEXT:
                appendJsonString(out, f.text);
                break;
        }
    }
    out += '}';
    return out;
}

void printJsonLine(const std::vector<JsonField>& fields) {
    std::printf("JSON %s\n", jsonLine(fields).c_str());
    std::fflush(stdout);
}

void printFigure(const std::string& label, double value, const std::string& unit,
                 const std::string& target, int met) {
    std::string dotted = "  " + label + " ";
    while (dotted.size() < 40) dotted += '.';
    std::printf("%s %12.3f %-8s", dotted.c_str(), value, unit.c_str());
    if (!target.empty()) std::printf("  (target: %s)", target.c_str());
    if (met == 1) std::printf("  MET");
    if (met == 0) std::printf("  MISSED");
    std::printf("\n");
    std::fflush(stdout);
}

bool statTicks(const std::string& stat, long long& ticks) {
    // The command name (field 2) is in parentheses and may itself hold spaces and ')': the
    // fields after it start behind the last ')'.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    const char* p = stat.c_str() + close + 1;
    // Field 3 (state) is the first one after the name; utime and stime are fields 14 and 15.
    long long values[2] = {0, 0};
    int field = 2;
    while (*p != '\0' && field < 15) {
        while (*p == ' ') ++p;
        if (*p == '\0') break;
        ++field;
        char* end = nullptr;
        if (field == 14 || field == 15) {
            long long v = std::strtoll(p, &end, 10);
            if (end == p) return false;
            values[field - 14] = v;
            p = end;
        }
        while (*p != ' ' && *p != '\0') ++p;
    }
    if (field < 15) return false;
    ticks = values[0] + values[1];
    return true;
}

bool processCpuTicks(pid_t pid, long long& ticks) {
    std::string stat;
    if (!readWholeFile("/proc/" + std::to_string(pid) + "/stat", stat)) return false;
    return statTicks(stat, ticks);
}

long long clockTicksPerSecond() {
    long t = ::sysconf(_SC_CLK_TCK);
    return t > 0 ? t : 100;
}

bool statusFieldKb(const std::string& status, const char* field, long long& kb) {
    std::string key = std::string(field) + ":";
    size_t at = 0;
    while ((at = status.find(key, at)) != std::string::npos) {
        if (at == 0 || status[at - 1] == '\n') {
            const char* p = status.c_str() + at + key.size();
            char* end = nullptr;
            long long v = std::strtoll(p, &end, 10);
            if (end == p) return false;
            kb = v;
            return true;
        }
        at += key.size();
    }
    return false;
}

bool processPeakRssKb(pid_t pid, long long& kb) {
    std::string status;
    if (!readWholeFile("/proc/" + std::to_string(pid) + "/status", status)) return false;
    return statusFieldKb(status, "VmHWM", kb);
}

bool processRssKb(pid_t pid, long long& kb) {
    std::string status;
    if (!readWholeFile("/proc/" + std::to_string(pid) + "/status", status)) return false;
    return statusFieldKb(status, "VmRSS", kb);
}

std::string makeTempDirectory(const std::string& prefix) {
    static std::atomic<int> serial{0};
    const char* base = std::getenv("TMPDIR");
    std::string root = (base != nullptr && base[0] != '\0') ? base : "/tmp";
    // The pid and a serial make the name unique among concurrent benchmark and test processes;
    // a leftover of an earlier run with the same pid is skipped.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string dir = root + "/" + prefix + "-" + std::to_string(::getpid()) + "-" +
                          std::to_string(serial.fetch_add(1));
        if (isDirectory(dir) || fileExists(dir)) continue;
        if (makeDirectories(dir)) return dir;
        return {};
    }
    return {};
}

bool removeTree(const std::string& dir) {
    if (dir.empty() || !isDirectory(dir)) return false;
    bool ok = true;
    for (const std::string& name : findFiles(dir, "*")) ok = removeFile(dir + "/" + name) && ok;
    return ::rmdir(dir.c_str()) == 0 && ok;
}

int freePort() {
    CTcpSocket probe;
    if (!probe.listen("127.0.0.1", 0, 1)) return 0;
    int port = probe.localPort();
    probe.close();
    return port > 0 ? port : 0;
}

// Appends a fixed NUL-padded field of size bytes.
static void putField(std::string& out, const char* text, size_t size) {
    char field[32];  // the longest field is an address of 23 bytes
    putName(field, text != nullptr ? text : "", size);
    out.append(field, size);
}

std::string encodeUserRecord(const char* name, const char* group, const char* address) {
    std::string out;
    out.reserve(63);
    putField(out, name, 20);
    putField(out, group, 20);
    putField(out, address, 23);
    return out;
}

std::string encodeHeldRecord(const char* recipient, int32_t storedTime,
                             const std::string& payload) {
    std::string out;
    out.reserve(28 + payload.size());
    putField(out, recipient, 20);
    char n[4];
    putInt32(n, storedTime);
    out.append(n, 4);
    putInt32(n, static_cast<int32_t>(payload.size()));
    out.append(n, 4);
    out += payload;
    return out;
}

std::string encodePayload(int32_t kind, const char* sender, int32_t token,
                          const std::string& text) {
    std::string out;
    out.reserve(28 + text.size());
    char n[4];
    putInt32(n, kind);
    out.append(n, 4);
    putField(out, sender, 20);
    putInt32(n, token);
    out.append(n, 4);
    out += text;
    return out;
}

bool measureEchoRoundTrips(int warmup, int samples, size_t messageSize, int maxSeconds,
                           std::vector<double>& out, std::string& error) {
    out.clear();
    CEchoServer echo;
    if (!echo.open()) {
        error = "the echo server could not listen";
        return false;
    }
    CBsClientSocket client;
    if (!client.Connect("127.0.0.1", echo.port())) {
        error = "could not connect to the echo server";
        echo.stop();
        return false;
    }
    std::string message(messageSize, '\0');
    for (size_t i = 0; i < messageSize; ++i) message[i] = static_cast<char>('a' + i % 26);
    out.reserve(static_cast<size_t>(samples));
    const int64_t until = benchMicros() + int64_t(maxSeconds) * 1000000;
    bool ok = true;
    for (int i = 0; i < warmup + samples && ok; ++i) {
        // Vary the first bytes so that an echo of stale bytes cannot pass the check.
        putInt32(message.data(), i);
        int64_t t0 = benchMicros();
        if (!client.Write(message.data(), static_cast<unsigned>(messageSize))) {
            error = "echo write failed";
            ok = false;
            break;
        }
        unsigned count = static_cast<unsigned>(messageSize);
        char* got = client.Read(count, 10);
        int64_t t1 = benchMicros();
        if (got == nullptr || count != messageSize ||
            std::memcmp(got, message.data(), messageSize) != 0) {
            error = "the echo did not come back whole";
            ok = false;
            break;
        }
        if (i >= warmup) out.push_back(double(t1 - t0));
        if (t1 > until) break;
    }
    client.Close();
    echo.stop();
    return ok && !out.empty();
}

std::string numberedName(const char* prefix, int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%03d", prefix, i);
    return buf;
}

bool connectNewUsers(int port, int count, const char* prefix, const char* group,
                     std::vector<std::unique_ptr<CRawClient>>& out, std::string& error) {
    for (int i = 0; i < count; ++i) {
        auto client = std::make_unique<CRawClient>();
        std::string name = numberedName(prefix, i);
        if (!client->connect(port)) {
            error = "connection " + std::to_string(i + 1) + " could not be made";
            return false;
        }
        if (!client->registerNew(name.c_str(), group, error)) return false;
        out.push_back(std::move(client));
    }
    return true;
}

long long finishServer(CServerProcess& server, std::vector<JsonField>& json) {
    long long peakKb = 0;
    if (server.pid() > 0 && !processPeakRssKb(server.pid(), peakKb)) peakKb = 0;
    int code = server.stop();
    if (peakKb == 0) peakKb = server.exitPeakRssKb();
    printFigure("server peak memory (VmHWM)", double(peakKb) / 1024.0, "MiB", "below 16 MiB",
                peakKb > 0 ? (peakKb < 16 * 1024 ? 1 : 0) : -1);
    std::printf("  server stopped by SIGTERM in %lld ms, exit code %d\n", server.stopMs(), code);
    json.push_back(jsonInteger("server_peak_rss_kb", peakKb));
    json.push_back(jsonInteger("server_stop_ms", server.stopMs()));
    json.push_back(jsonInteger("server_exit_code", code));
    return peakKb;
}

int benchFailure(const char* bench, const std::string& what, CServerProcess* server) {
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    if (server != nullptr && !server->directory().empty())
        std::fprintf(stderr, "server log (%s/server.log):\n%s\n", server->directory().c_str(),
                     server->logTail().c_str());
    std::printf("JSON %s\n", jsonLine({jsonText("bench", bench), jsonText("error", what)}).c_str());
    return 1;
}

std::string argValue(int argc, char** argv, const char* name, const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

bool argFlag(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return true;
    return false;
}

}  // namespace tovi
