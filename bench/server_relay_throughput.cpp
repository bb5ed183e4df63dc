// Relay throughput: one sender pipelines SEND_TO_USER mails (100-byte text) to one connected
// recipient, keeping at most 64 mails in flight (sent and not yet answered by PKT_MAIL_RESULT).
// A thread of its own reads the recipient's deliveries. Every result must be (51, 0, 0) and every
// delivery must arrive whole and in sending order; the rate counts mails whose result and
// delivery both arrived, over the time until the last of them.
//
//   server_relay_throughput [--quick] [--mails N] [--window W] [--server PATH]
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/bench_thread.h"
#include "bench/raw_client.h"
#include "bench/server_process.h"
#include "protocol/packets.h"

using namespace tovi;

static const char* BENCH = "relay_throughput";

namespace {

struct RunResult {
    long long sent = 0;
    long long results = 0;
    long long deliveries = 0;
    double seconds = 0;
    std::string error;
};

// Sends count mails with the window and waits for every result and delivery; stops sending
// after maxSeconds and then counts what was sent. Tokens start at firstToken.
RunResult runPipelined(CRawClient& sender, CRawClient& recipient, const std::string& senderName,
                       const std::string& recipientName, const std::string& text, long long count,
                       int window, int32_t firstToken, int maxSeconds) {
    RunResult run;
    std::atomic<long long> target{count};
    std::atomic<long long> delivered{0};
    std::atomic<int64_t> recipientDone{0};
    std::string recipientError;

    CBenchThread reader([&] {
        long long got = 0;
        while (got < target.load()) {
            int32_t type = 0;
            const char* body = nullptr;
            uint32_t length = 0;
            if (!recipient.readPacket(type, body, length, 10)) {
                recipientError = "delivery " + std::to_string(got) + " did not come within 10 s";
                break;
            }
            Delivery d;
            if (type != PKT_MAIL || !parseDelivery(body, length, d) ||
                d.token != firstToken + static_cast<int32_t>(got) ||
                std::strcmp(d.sender, senderName.c_str()) != 0 || d.textLength != text.size() ||
                std::memcmp(d.text, text.data(), text.size()) != 0) {
                recipientError = "delivery " + std::to_string(got) + " came wrong or out of order";
                break;
            }
            ++got;
            delivered.store(got);
        }
        recipientDone.store(benchMicros());
    });

    char body[MAX_MAIL_BODY];
    const size_t bodyLength = buildMail(body, SEND_TO_USER, recipientName.c_str(), "", MAIL_MESSAGE,
                                        senderName.c_str(), firstToken, text.data(), text.size());
    const int64_t start = benchMicros();
    const int64_t stopSending = start + int64_t(maxSeconds) * 1000000;
    if (!reader.run()) {
        run.error = "the reading thread could not start";
        return run;
    }
    long long limit = count;
    while (run.results < limit) {
        while (run.sent < limit && run.sent - run.results < window) {
            putInt32(body + 68, firstToken + static_cast<int32_t>(run.sent));
            if (!sender.queuePacket(PKT_MAIL, body, bodyLength)) {
                run.error = "the sender's write failed";
                break;
            }
            ++run.sent;
        }
        if (!run.error.empty() || !sender.flush()) {
            if (run.error.empty()) run.error = "the sender's write failed";
            break;
        }
        // One blocking read, then whatever results are already here.
        do {
            int32_t failed = -1, reason = -1;
            if (!sender.readResult(PKT_MAIL_RESULT, failed, reason, 10)) {
                run.error = "result " + std::to_string(run.results) + " did not come within 10 s";
                break;
            }
            if (failed != 0 || reason != 0) {
                run.error = "a mail was answered (51," + std::to_string(failed) + "," +
                            std::to_string(reason) + ")";
                break;
            }
            ++run.results;
        } while (run.results < run.sent && sender.headerWaiting());
        if (!run.error.empty()) break;
        if (limit == count && benchMicros() > stopSending) {
            limit = run.sent;
            target.store(limit);
        }
    }
    const int64_t senderDone = benchMicros();
    if (!run.error.empty()) {
        // The reader may wait for deliveries that will never come: end its wait.
        target.store(0);
        recipient.interrupt();
    }
    reader.join();
    run.deliveries = delivered.load();
    if (run.error.empty()) run.error = recipientError;
    if (run.error.empty() && run.deliveries != run.sent)
        run.error =
            "deliveries " + std::to_string(run.deliveries) + " of " + std::to_string(run.sent);
    const int64_t end = std::max<int64_t>(senderDone, recipientDone.load());
    run.seconds = double(end - start) / 1e6;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const long long mails = std::stoll(argValue(argc, argv, "--mails", quick ? "20000" : "200000"));
    const int window = std::stoi(argValue(argc, argv, "--window", "64"));
    const long long warmup = quick ? 2000 : 10000;
    const std::string text(100, 'y');

    std::printf("(c) relay throughput, one sender to one connected recipient, window %d\n", window);
    std::string error;
    CServerProcess server;
    if (!server.start(CServerProcess::findBinary(argc, argv), error))
        return benchFailure(BENCH, error, &server);
    std::vector<std::unique_ptr<CRawClient>> users;
    if (!connectNewUsers(server.port(), 2, "thr", "bench", users, error))
        return benchFailure(BENCH, error, &server);
    const std::string senderName = numberedName("thr", 0);
    const std::string recipientName = numberedName("thr", 1);

    RunResult warm =
        runPipelined(*users[0], *users[1], senderName, recipientName, text, warmup, window, 2, 60);
    if (!warm.error.empty()) return benchFailure(BENCH, "warm-up: " + warm.error, &server);
    long long serverTicks0 = 0, serverTicks1 = 0, selfTicks0 = 0, selfTicks1 = 0;
    processCpuTicks(server.pid(), serverTicks0);
    processCpuTicks(::getpid(), selfTicks0);
    RunResult run = runPipelined(*users[0], *users[1], senderName, recipientName, text, mails,
                                 window, static_cast<int32_t>(2 + warmup), 60);
    if (!run.error.empty()) return benchFailure(BENCH, run.error, &server);
    processCpuTicks(server.pid(), serverTicks1);
    processCpuTicks(::getpid(), selfTicks1);
    // Who was busy: on a machine with few cores the clients' own work competes with the server.
    const double tick = double(clockTicksPerSecond());
    const double serverCpu =
        run.seconds > 0 ? (serverTicks1 - serverTicks0) / tick / run.seconds : 0;
    const double clientsCpu = run.seconds > 0 ? (selfTicks1 - selfTicks0) / tick / run.seconds : 0;

    const double rate = run.seconds > 0 ? double(run.results) / run.seconds : 0;
    printFigure("relay throughput", rate, "mails/s", "at least 100000", rate >= 100000 ? 1 : 0);
    std::printf("  %lld mails in %.3f s; %lld results (51,0,0) and %lld deliveries checked%s\n",
                run.results, run.seconds, run.results, run.deliveries,
                run.results < mails ? " (stopped sending after 60 s)" : "");
    std::printf("  busy meanwhile: server %.0f %% of a core, the two clients %.0f %%\n",
                100 * serverCpu, 100 * clientsCpu);
    std::vector<JsonField> json = {jsonText("bench", BENCH),
                                   jsonInteger("window", window),
                                   jsonInteger("mails", run.results),
                                   jsonInteger("deliveries", run.deliveries),
                                   jsonNumber("seconds", run.seconds),
                                   jsonNumber("mails_per_s", rate),
                                   jsonNumber("server_cpu_share", serverCpu),
                                   jsonNumber("clients_cpu_share", clientsCpu),
                                   jsonBool("target_met", rate >= 100000)};
    users.clear();
    finishServer(server, json);
    printJsonLine(json);
    return 0;
}
