// Fan-out: 200 connected users (the server's whole connection table); one of them sends
// SEND_TO_ALL_CONNECTED with a 100-byte text, and each sample is the time from the send until
// the last of the 199 other users has its delivery. Every delivery is read and checked, and the
// sender's own copy and its result (51, 0, 0) too, before the next send.
//
// The time of the last delivery is taken without the cost of reading 199 sockets one after the
// other: the server writes in its table order, so the last registered user is waited for first,
// and any other user whose delivery is not yet there when its turn comes has its own arrival
// time taken instead.
//
//   server_fanout [--quick] [--repeats N] [--server PATH]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/raw_client.h"
#include "bench/server_process.h"
#include "protocol/packets.h"

using namespace tovi;

static const char* BENCH = "fanout";

static bool checkDelivery(CRawClient& client, const std::string& senderName,
                          const std::string& text) {
    int32_t type = 0;
    const char* body = nullptr;
    uint32_t length = 0;
    if (!client.readPacket(type, body, length, 10)) return false;
    Delivery d;
    return type == PKT_MAIL && parseDelivery(body, length, d) &&
           std::strcmp(d.sender, senderName.c_str()) == 0 && d.textLength == text.size() &&
           std::memcmp(d.text, text.data(), text.size()) == 0;
}

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const int repeats = std::stoi(argValue(argc, argv, "--repeats", quick ? "30" : "200"));
    const int warmup = quick ? 5 : 20;
    const int users = 200;

    std::printf("(d) fan-out, SEND_TO_ALL_CONNECTED from one of %d connected users\n", users);
    std::string error;
    CServerProcess server;
    if (!server.start(CServerProcess::findBinary(argc, argv), error))
        return benchFailure(BENCH, error, &server);
    std::vector<std::unique_ptr<CRawClient>> clients;
    const int64_t connectStart = benchMicros();
    if (!connectNewUsers(server.port(), users, "fan", "bench", clients, error))
        return benchFailure(BENCH, error, &server);
    std::printf("  %d users registered and connected in %.2f s\n", users,
                double(benchMicros() - connectStart) / 1e6);
    CRawClient& sender = *clients[0];
    const std::string senderName = numberedName("fan", 0);

    char body[MAX_MAIL_BODY];
    std::vector<double> samplesUs;
    for (int r = 0; r < warmup + repeats; ++r) {
        // The repeat number in the text, so that a delivery left over from an earlier send
        // cannot pass for this one.
        std::string textBytes = "fan-out " + std::to_string(r) + " ";
        textBytes.resize(100, '.');
        size_t bodyLength =
            buildMail(body, SEND_TO_ALL_CONNECTED, "", "", MAIL_MESSAGE, senderName.c_str(),
                      NOTICE_TOKEN_NONE, textBytes.data(), textBytes.size());
        const int64_t t0 = benchMicros();
        if (!sender.sendPacket(PKT_MAIL, body, bodyLength))
            return benchFailure(BENCH, "the sender's write failed", &server);
        if (!checkDelivery(*clients[users - 1], senderName, textBytes))
            return benchFailure(BENCH, "the last user got no proper delivery within 10 s", &server);
        int64_t last = benchMicros();
        for (int i = 1; i < users - 1; ++i) {
            const bool alreadyHere = clients[i]->headerWaiting();
            if (!checkDelivery(*clients[i], senderName, textBytes))
                return benchFailure(
                    BENCH, "user " + std::to_string(i) + " got no proper delivery within 10 s",
                    &server);
            if (!alreadyHere) last = std::max(last, benchMicros());
        }
        // The sender is among the recipients: its own copy, then its result.
        if (!checkDelivery(sender, senderName, textBytes))
            return benchFailure(BENCH, "the sender did not get its own copy", &server);
        int32_t failed = -1, reason = -1;
        if (!sender.readResult(PKT_MAIL_RESULT, failed, reason, 10) || failed != 0 || reason != 0)
            return benchFailure(BENCH, "the send was not answered (51,0,0)", &server);
        if (r >= warmup) samplesUs.push_back(double(last - t0));
    }

    const size_t n = samplesUs.size();
    const double median = percentile(samplesUs, 50) / 1000.0;
    const double p99 = percentile(samplesUs, 99) / 1000.0;
    const double best = samplesUs.empty() ? 0 : samplesUs.front() / 1000.0;
    printFigure("fan-out to 199, median", median, "ms", "below 2 ms", median < 2.0 ? 1 : 0);
    printFigure("fan-out to 199, p99", p99, "ms");
    printFigure("fan-out to 199, fastest", best, "ms");
    std::printf("  %zu sends after %d warm-up sends; %zu deliveries checked\n", n, warmup,
                size_t(warmup + repeats) * users);
    std::vector<JsonField> json = {jsonText("bench", BENCH),
                                   jsonInteger("connections", users),
                                   jsonInteger("repeats", (long long)n),
                                   jsonNumber("median_ms", median),
                                   jsonNumber("p99_ms", p99),
                                   jsonNumber("min_ms", best),
                                   jsonBool("target_met", median < 2.0)};
    clients.clear();
    finishServer(server, json);
    printJsonLine(json);
    return 0;
}
