// Log-in redelivery: a store of 1 000, 10 000 and 100 000 held records with a 1 KB payload each,
// half of them for the user who logs in and half for another registered user (so that the
// rewrite keeps them). The user file and the store are written before the server starts. Each
// size runs in a fresh server; the figure is the time from sending the log-in to the last held
// delivery, and the cost per stored record, which should not grow with the store's size. The
// held mail waits 100 ms after the log-in by design; the per-record cost leaves that pause out.
// Afterwards the store must hold exactly the other user's records, in their order.
//
//   server_redelivery [--quick] [--server PATH]
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/raw_client.h"
#include "bench/server_process.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"

using namespace tovi;

static const char* BENCH = "redelivery";

namespace {

const char* const LOGGING_IN = "alice";
const char* const KEPT = "bob";
const char* const SENDER = "carol";
constexpr size_t PAYLOAD_BYTES = 1024;
constexpr size_t TEXT_BYTES = PAYLOAD_BYTES - 28;
constexpr int PAUSE_MS = 100;

struct SizeResult {
    long long records = 0;
    double totalMs = 0;
    double usPerRecord = 0;
    long long peakKb = 0;
};

// Record i goes to alice when i is even, else to bob; its token is i + 2 and its text starts
// with i, so that each delivery and each kept record can be told apart.
std::string recordText(long long i) {
    std::string text(TEXT_BYTES, 'm');
    char head[32];
    int n = std::snprintf(head, sizeof head, "held %09lld ", i);
    std::memcpy(text.data(), head, static_cast<size_t>(n));
    return text;
}

bool writeStore(const std::string& dir, long long records, int32_t storedTime, std::string& error) {
    std::string users = encodeUserRecord(LOGGING_IN, "bench", "127.0.0.1") +
                        encodeUserRecord(KEPT, "bench", "127.0.0.1");
    if (!replaceFileAtomically(dir + "/TovisUser.dat", users)) {
        error = "cannot write TovisUser.dat: " + lastFileError();
        return false;
    }
    CFile store;
    if (!store.open(dir + "/TovisBackMail.dat", CFile::CREATE_TRUNCATE)) {
        error = "cannot create TovisBackMail.dat: " + lastFileError();
        return false;
    }
    std::string chunk;
    chunk.reserve(1 << 20);
    for (long long i = 0; i < records; ++i) {
        std::string payload =
            encodePayload(MAIL_MESSAGE, SENDER, static_cast<int32_t>(i + 2), recordText(i));
        chunk += encodeHeldRecord(i % 2 == 0 ? LOGGING_IN : KEPT, storedTime, payload);
        if (chunk.size() >= (1 << 20) || i + 1 == records) {
            if (!store.write(chunk.data(), chunk.size())) {
                error = "cannot write TovisBackMail.dat: " + lastFileError();
                return false;
            }
            chunk.clear();
        }
    }
    if (!store.sync() || !store.close()) {
        error = "cannot finish TovisBackMail.dat: " + lastFileError();
        return false;
    }
    return true;
}

// The store after the rewrite: exactly bob's records, oldest first, unchanged.
bool checkKeptStore(const std::string& dir, long long records, int32_t storedTime,
                    std::string& error) {
    const long long keptCount = records / 2;
    const int64_t expectedSize = keptCount * int64_t(28 + PAYLOAD_BYTES);
    const std::string path = dir + "/TovisBackMail.dat";
    // The rewrite ends with the replacement of the file, a moment after the last delivery.
    const int64_t until = monotonicMs() + 60000;
    std::string data;
    for (;;) {
        CFile probe;
        if (probe.open(path, CFile::READ) && probe.size() == expectedSize &&
            readWholeFile(path, data) && int64_t(data.size()) == expectedSize)
            break;
        if (monotonicMs() > until) {
            error = "after the log-in the store did not shrink to the other user's " +
                    std::to_string(keptCount) + " records within 60 s";
            return false;
        }
        sleepMs(50);
    }
    for (long long k = 0; k < keptCount; ++k) {
        const long long i = 2 * k + 1;
        std::string expected = encodeHeldRecord(
            KEPT, storedTime,
            encodePayload(MAIL_MESSAGE, SENDER, static_cast<int32_t>(i + 2), recordText(i)));
        if (data.compare(size_t(k) * expected.size(), expected.size(), expected) != 0) {
            error = "kept record " + std::to_string(k) + " of the other user changed";
            return false;
        }
    }
    return true;
}

bool runSize(const std::string& binary, long long records, SizeResult& result, std::string& error,
             CServerProcess& server) {
    result.records = records;
    if (!server.prepare(error)) return false;
    const int32_t storedTime = nowSeconds() - 3600;
    if (!writeStore(server.directory(), records, storedTime, error)) return false;
    if (!server.start(binary, error)) return false;

    CRawClient client;
    if (!client.connect(server.port())) {
        error = "cannot connect";
        return false;
    }
    const int64_t t0 = benchMicros();
    int reason = client.login(LOGGING_IN);
    if (reason != 0) {
        error = "the log-in of a registered user was answered " + std::to_string(reason);
        return false;
    }
    const long long expected = (records + 1) / 2;
    int64_t last = benchMicros();
    for (long long k = 0; k < expected; ++k) {
        int32_t type = 0;
        const char* body = nullptr;
        uint32_t length = 0;
        if (!client.readPacket(type, body, length, 30)) {
            error = "held mail " + std::to_string(k) + " of " + std::to_string(expected) +
                    " did not come within 30 s";
            return false;
        }
        const long long i = 2 * k;
        Delivery d;
        const std::string text = recordText(i);
        if (type != PKT_MAIL || !parseDelivery(body, length, d) || d.time != storedTime ||
            d.token != static_cast<int32_t>(i + 2) || std::strcmp(d.sender, SENDER) != 0 ||
            d.textLength != text.size() || std::memcmp(d.text, text.data(), text.size()) != 0) {
            error = "held mail " + std::to_string(k) + " came wrong or out of order";
            return false;
        }
        last = benchMicros();
    }
    result.totalMs = double(last - t0) / 1000.0;
    const double workUs = double(last - t0) - PAUSE_MS * 1000.0;
    result.usPerRecord = (workUs > 0 ? workUs : 0) / double(records);
    if (!checkKeptStore(server.directory(), records, storedTime, error)) return false;
    client.close();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    std::vector<long long> sizes = {1000, 10000, 100000};
    if (quick) sizes = {1000, 10000};
    const std::string binary = CServerProcess::findBinary(argc, argv);

    std::printf("(e) log-in redelivery, held records of %zu-byte payload, half for the user\n",
                PAYLOAD_BYTES);
    std::vector<SizeResult> results;
    for (long long records : sizes) {
        std::printf("  store of %lld records (%.1f MB):\n", records,
                    double(records) * double(28 + PAYLOAD_BYTES) / 1e6);
        SizeResult r;
        std::string error;
        CServerProcess server;
        if (!runSize(binary, records, r, error, server)) return benchFailure(BENCH, error, &server);
        printFigure("log-in to last held delivery", r.totalMs, "ms");
        printFigure("cost per stored record", r.usPerRecord, "us");
        std::vector<JsonField> unused;
        r.peakKb = finishServer(server, unused);
        results.push_back(r);
    }

    // Linear: the cost per record of the largest store stays within twice that of the one ten
    // times smaller (the smallest store is mostly fixed cost and is shown, not judged).
    const SizeResult& big = results.back();
    const SizeResult& mid = results[results.size() - 2];
    const double growth = mid.usPerRecord > 0 ? big.usPerRecord / mid.usPerRecord : 0;
    const bool linear = growth > 0 && growth <= 2.0;
    char label[96];
    std::snprintf(label, sizeof label, "per-record cost %lldk / %lldk", big.records / 1000,
                  mid.records / 1000);
    printFigure(label, growth, "x", "linear (within 2x)", linear ? 1 : 0);

    std::vector<JsonField> json = {jsonText("bench", BENCH),
                                   jsonInteger("payload_bytes", (long long)PAYLOAD_BYTES)};
    long long peak = 0;
    for (const SizeResult& r : results) {
        std::string n = std::to_string(r.records);
        json.push_back(jsonNumber("n" + n + "_ms", r.totalMs));
        json.push_back(jsonNumber("n" + n + "_us_per_record", r.usPerRecord));
        json.push_back(jsonInteger("n" + n + "_server_peak_rss_kb", r.peakKb));
        peak = std::max(peak, r.peakKb);
    }
    json.push_back(jsonNumber("per_record_growth", growth));
    json.push_back(jsonBool("target_met", linear));
    json.push_back(jsonInteger("server_peak_rss_kb", peak));
    printJsonLine(json);
    return 0;
}
