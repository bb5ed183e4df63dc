// Helpers shared by the benchmark programs: a microsecond clock, percentiles, the figure and JSON
// lines every program prints, the /proc readers for another process's CPU time and peak memory,
// temporary directories, free ports, and the byte layouts of the server's two data files so that
// a benchmark can prepare a store before the server starts.
//
// Every function may be called from any thread; none keeps state.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tovi {

class CRawClient;
class CServerProcess;

// Monotonic microseconds. The platform clock counts whole milliseconds, too coarse for round
// trips of a few tens of microseconds, so the benchmarks time themselves with this one.
int64_t benchMicros();

// The p-th percentile (0..100) of the samples by nearest rank: the smallest sample that at least
// p percent of the samples do not exceed. Sorts the vector. 0 for no samples.
double percentile(std::vector<double>& samples, double p);

// One field of a JSON line: a number (printed with up to 6 significant decimals), a whole number,
// a truth value or a text (escaped).
struct JsonField {
    enum Kind { NUMBER, INTEGER, BOOLEAN, TEXT };
    std::string key;
    Kind kind = NUMBER;
    double number = 0;
    long long integer = 0;
    bool boolean = false;
    std::string text;
};
JsonField jsonNumber(const std::string& key, double value);
JsonField jsonInteger(const std::string& key, long long value);
JsonField jsonBool(const std::string& key, bool value);
JsonField jsonText(const std::string& key, const std::string& value);
// {"key":value,...} on one line, without a newline.
std::string jsonLine(const std::vector<JsonField>& fields);
// Prints the line to stdout with the marker "JSON " in front, so that scripts can grep it.
void printJsonLine(const std::vector<JsonField>& fields);

// A readable figure, "  relay p50 ........ 31.2 us   (target: ...) MET|MISSED"; met < 0 prints no
// verdict.
void printFigure(const std::string& label, double value, const std::string& unit,
                 const std::string& target = {}, int met = -1);

// utime + stime of a process in clock ticks, from /proc/<pid>/stat. False when it cannot be read.
bool processCpuTicks(pid_t pid, long long& ticks);
long long clockTicksPerSecond();
// Peak resident memory (VmHWM) and current resident memory (VmRSS) in KiB from
// /proc/<pid>/status. False when the field is missing (the process has ended).
bool processPeakRssKb(pid_t pid, long long& kb);
bool processRssKb(pid_t pid, long long& kb);
// Reads "<field>:   <n> kB" from a /proc status text; false when absent. Exposed for tests.
bool statusFieldKb(const std::string& status, const char* field, long long& kb);
// utime + stime (fields 14 and 15) of a /proc stat text, whose second field may hold spaces and
// parentheses. Exposed for tests.
bool statTicks(const std::string& stat, long long& ticks);

// Creates a fresh empty directory below $TMPDIR (else /tmp) whose name starts with prefix; empty
// on failure. removeTree deletes it with the files in it (one level of subdirectories at most,
// which is all the server makes).
std::string makeTempDirectory(const std::string& prefix);
bool removeTree(const std::string& dir);

// A TCP port on 127.0.0.1 that was free a moment ago (the system picked it); 0 on failure.
int freePort();

// One 63-byte record of the user file: name (20), group (20), dotted address (23), each
// NUL-padded and without a terminator when it fills its field.
std::string encodeUserRecord(const char* name, const char* group, const char* address);
// One record of the held-mail store: recipient name (20), time stored (int32), payload length
// (int32), payload.
std::string encodeHeldRecord(const char* recipient, int32_t storedTime, const std::string& payload);
// A mail payload as the server keeps it (bytes 44 and on of a client's mail): kind, sender (20),
// notice token, text.
std::string encodePayload(int32_t kind, const char* sender, int32_t token, const std::string& text);

// Runs the plain TCP echo round trip: an echo thread in this process on 127.0.0.1, one client
// that writes messageSize bytes and reads them back, warmup rounds not counted, then up to
// samples rounds (stopping after maxSeconds). Round trip times in microseconds go to out. False
// when the echo failed (wrong bytes, time-out), with the reason in error.
bool measureEchoRoundTrips(int warmup, int samples, size_t messageSize, int maxSeconds,
                           std::vector<double>& out, std::string& error);

// Connects count new users named prefix000, prefix001, ... of the group, each registering on its
// own connection (log-in refused as unknown, then registration), and keeps them connected. False
// with the reason in error at the first failure.
bool connectNewUsers(int port, int count, const char* prefix, const char* group,
                     std::vector<std::unique_ptr<CRawClient>>& out, std::string& error);
std::string numberedName(const char* prefix, int i);

// The end of every server benchmark: reads the server's peak memory while it runs, stops it,
// prints the memory figure (target below 16 MB) and adds server_peak_rss_kb, server_stop_ms and
// server_exit_code to json. Returns the peak in KiB (0 when unknown).
long long finishServer(CServerProcess& server, std::vector<JsonField>& json);

// Prints "FAILED: <what>" with the server's last log lines to stderr, a JSON line with the
// error, and returns the exit code 1.
int benchFailure(const char* bench, const std::string& what, CServerProcess* server = nullptr);

// Finds "--name value" in argv; fallback when absent.
std::string argValue(int argc, char** argv, const char* name, const std::string& fallback);
bool argFlag(int argc, char** argv, const char* name);

}  // namespace tovi
