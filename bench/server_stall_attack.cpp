// (h) A pair relays mails one at a time while the server is attacked: 50 connected users never
// read and are sent mail without pause (a group mail with an 8 KB text, as fast as its results
// come), and 50 more stop in the middle of a packet. The pair's relay latency (send to whole
// delivery) is measured alone first, then during the attack, in the same run.
//
//   server_stall_attack [--quick] [--server PATH]
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_common.h"
#include "bench/raw_client.h"
#include "bench/relay_pinger.h"
#include "bench/server_process.h"
#include "platform/clock.h"
#include "protocol/packets.h"

using namespace tovi;

static const char* BENCH = "stall_attack";

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const int phaseMs = quick ? 1500 : 5000;
    std::printf("(h) relay latency of a pair alone and while 50 clients never read and 50 hang\n");
    std::string error;
    CServerProcess server;
    if (!server.start(CServerProcess::findBinary(argc, argv), error))
        return benchFailure(BENCH, error, &server);
    std::vector<std::unique_ptr<CRawClient>> pair, deaf, hanging, attacker;
    if (!connectNewUsers(server.port(), 2, "pair", "pair", pair, error) ||
        !connectNewUsers(server.port(), 50, "deaf", "deaf", deaf, error) ||
        !connectNewUsers(server.port(), 50, "hang", "hang", hanging, error) ||
        !connectNewUsers(server.port(), 1, "atk", "atk", attacker, error))
        return benchFailure(BENCH, error, &server);
    pair.clear();  // the pinger logs the pair in again on its own connections
    CRelayPinger pinger;
    sleepMs(200);
    if (!pinger.start(server.port(), numberedName("pair", 0), numberedName("pair", 1), error))
        return benchFailure(BENCH, error, &server);
    const int64_t aloneFrom = benchMicros();
    sleepMs(phaseMs);
    const int64_t attackFrom = benchMicros();

    // The hanging ones stop inside a mail's length field.
    for (auto& h : hanging) {
        const char half[6] = {16, 0, 0, 0, 72, 0};
        h->socket().Write(half, sizeof half);
    }
    std::atomic<bool> stop{false};
    std::atomic<long long> attackMails{0};
    std::string attackError;
    std::thread attack([&] {
        const std::string text(8192, 'a');
        char packet[8 + MAX_MAIL_BODY];
        const size_t n = buildMail(packet + 8, SEND_TO_GROUP, "", "deaf", MAIL_MESSAGE,
                                   numberedName("atk", 0).c_str(), 1, text.data(), text.size());
        putFrameHeader(packet, PKT_MAIL, static_cast<int32_t>(n));
        while (!stop) {
            int32_t failed = -1, reason = -1;
            if (!attacker[0]->socket().Write(packet, static_cast<unsigned>(8 + n)) ||
                !attacker[0]->readResult(PKT_MAIL_RESULT, failed, reason, 120) || failed != 0) {
                attackError = "the attacking mail was not answered (51,0,0)";
                return;
            }
            ++attackMails;
        }
    });
    sleepMs(phaseMs);
    const int64_t attackTo = benchMicros();
    stop = true;
    attack.join();
    if (!pinger.stop()) return benchFailure(BENCH, pinger.error(), &server);
    if (!attackError.empty()) return benchFailure(BENCH, attackError, &server);

    std::vector<double> alone = pinger.latencies(aloneFrom, attackFrom);
    std::vector<double> during = pinger.latencies(attackFrom, attackTo);
    const double longest = pinger.longestCycle(attackFrom, attackTo);
    const double a50 = percentile(alone, 50), a99 = percentile(alone, 99);
    const double d50 = percentile(during, 50), d99 = percentile(during, 99);
    printFigure("pair alone p50", a50, "us");
    printFigure("pair alone p99", a99, "us");
    printFigure("pair during the attack p50", d50, "us");
    printFigure("pair during the attack p99", d99 / 1000, "ms", "below 5 ms", d99 < 5000 ? 1 : 0);
    printFigure("longest wait of the pair during the attack", longest / 1000, "ms");
    std::printf(
        "  samples: %zu alone, %zu during the attack; %lld group mails to the 50 that never"
        " read\n",
        alone.size(), during.size(), attackMails.load());
    std::vector<JsonField> json = {jsonText("bench", BENCH),
                                   jsonInteger("samples_alone", (long long)alone.size()),
                                   jsonInteger("samples_attack", (long long)during.size()),
                                   jsonNumber("alone_p50_us", a50),
                                   jsonNumber("alone_p99_us", a99),
                                   jsonNumber("attack_p50_us", d50),
                                   jsonNumber("attack_p99_us", d99),
                                   jsonNumber("attack_longest_ms", longest / 1000),
                                   jsonInteger("attack_mails", attackMails.load()),
                                   jsonBool("target_met", d99 < 5000)};
    deaf.clear();
    hanging.clear();
    attacker.clear();
    finishServer(server, json);
    printJsonLine(json);
    return 0;
}
