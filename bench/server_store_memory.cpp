// (l) Memory of a very large store: the server's resident memory (VmRSS) while idle, once it has
// started over a store of 1 M and of 4 M held records (36-byte payloads for 100 registered
// users) and once over none; the figure is the cost per held record, the memory above the empty
// store's divided by the number of records. The index of the records is what grows.
//
//   server_store_memory [--quick] [--server PATH]
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/server_process.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"

using namespace tovi;

static const char* BENCH = "store_memory";

namespace {

// Starts the server over a store of count records and returns its idle VmRSS in KiB (-1 on a
// failure, reported).
long long idleRssKb(const std::string& binary, long records) {
    std::string error;
    CServerProcess server;
    if (!server.prepare(error)) return benchFailure(BENCH, error), -1;
    const int users = 100;
    std::string userFile;
    for (int u = 0; u < users; ++u)
        userFile += encodeUserRecord(("m" + std::to_string(u)).c_str(), "bench", "127.0.0.1");
    CFile store;
    bool ok = replaceFileAtomically(server.directory() + "/TovisUser.dat", userFile) &&
              store.open(server.directory() + "/TovisBackMail.dat", CFile::CREATE_TRUNCATE);
    const std::string payload = encodePayload(MAIL_MESSAGE, "sender", 1, std::string(8, 'r'));
    std::string chunk;
    for (long i = 0; ok && i < records; ++i) {
        chunk += encodeHeldRecord(("m" + std::to_string(i % users)).c_str(), nowSeconds(), payload);
        if (chunk.size() >= (1 << 20) || i + 1 == records) {
            ok = store.write(chunk.data(), chunk.size());
            chunk.clear();
        }
    }
    ok = store.close() && ok;
    if (!ok) return benchFailure(BENCH, "cannot write the store"), -1;
    const int64_t started = monotonicMs();
    if (!server.start(binary, error)) return benchFailure(BENCH, error, &server), -1;
    const int64_t ready = monotonicMs();
    sleepMs(1000);
    long long rss = 0, peak = 0;
    processRssKb(server.pid(), rss);
    processPeakRssKb(server.pid(), peak);
    std::printf("  %8ld records: start %5lld ms, idle VmRSS %8.1f MiB, peak %8.1f MiB\n", records,
                static_cast<long long>(ready - started), double(rss) / 1024, double(peak) / 1024);
    server.stop(20000);
    return rss;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const std::string binary = CServerProcess::findBinary(argc, argv);
    const std::vector<long> sizes =
        quick ? std::vector<long>{100000} : std::vector<long>{1000000, 4000000};
    std::printf("(l) resident memory of the server over a large store\n");
    const long long empty = idleRssKb(binary, 0);
    if (empty < 0) return 1;
    std::vector<JsonField> json = {jsonText("bench", BENCH), jsonInteger("empty_rss_kb", empty)};
    for (long n : sizes) {
        const long long rss = idleRssKb(binary, n);
        if (rss < 0) return 1;
        const double perRecord = double(rss - empty) * 1024.0 / double(n);
        printFigure("bytes per held record at " + std::to_string(n / 1000) + " k", perRecord,
                    "bytes");
        json.push_back(jsonInteger("rss_kb_" + std::to_string(n), rss));
        json.push_back(jsonNumber("bytes_per_record_" + std::to_string(n), perRecord));
    }
    printJsonLine(json);
    return 0;
}
