// Relay latency: one connected client sends SEND_TO_USER mails (100-byte text) to another
// connected client, one at a time; each sample is the time from the send until the recipient has
// the whole delivery. The sender then reads its PKT_MAIL_RESULT before the next mail. The echo
// baseline is measured in the same run, with the same message size, for the ratio.
//
//   server_relay_latency [--quick] [--samples N] [--server PATH]
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/raw_client.h"
#include "bench/server_process.h"
#include "platform/clock.h"
#include "protocol/packets.h"

using namespace tovi;

static const char* BENCH = "relay_latency";

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const int samples = std::stoi(argValue(argc, argv, "--samples", quick ? "2000" : "20000"));
    const int warmup = quick ? 200 : 1000;
    const int maxSeconds = 90;
    const std::string text(100, 'x');

    std::printf("(b) relay latency, SEND_TO_USER with a 100-byte text, send to delivery\n");
    std::vector<double> echoUs;
    std::string error;
    if (!measureEchoRoundTrips(warmup, samples, MAIL_HEADER_SIZE + text.size() + 8, 60, echoUs,
                               error))
        return benchFailure(BENCH, error);

    CServerProcess server;
    if (!server.start(CServerProcess::findBinary(argc, argv), error))
        return benchFailure(BENCH, error, &server);
    std::vector<std::unique_ptr<CRawClient>> users;
    if (!connectNewUsers(server.port(), 2, "lat", "bench", users, error))
        return benchFailure(BENCH, error, &server);
    CRawClient& sender = *users[0];
    CRawClient& recipient = *users[1];
    const std::string senderName = numberedName("lat", 0);
    const std::string recipientName = numberedName("lat", 1);

    // The whole packet in one buffer, sent with one write; only the token changes per mail.
    char packet[8 + MAX_MAIL_BODY];
    size_t bodyLength = buildMail(packet + 8, SEND_TO_USER, recipientName.c_str(), "", MAIL_MESSAGE,
                                  senderName.c_str(), 2, text.data(), text.size());
    putFrameHeader(packet, PKT_MAIL, static_cast<int32_t>(bodyLength));

    std::vector<double> relayUs;
    relayUs.reserve(static_cast<size_t>(samples));
    const int64_t until = benchMicros() + int64_t(maxSeconds) * 1000000;
    for (int i = 0; i < warmup + samples; ++i) {
        const int32_t token = i + 2;  // 0 never travels and 1 means "no read notice"
        putInt32(packet + 8 + 68, token);
        int64_t t0 = benchMicros();
        if (!sender.socket().Write(packet, static_cast<unsigned>(8 + bodyLength)))
            return benchFailure(BENCH, "the sender's write failed", &server);
        int32_t type = 0;
        const char* body = nullptr;
        uint32_t length = 0;
        if (!recipient.readPacket(type, body, length, 10))
            return benchFailure(
                BENCH, "mail " + std::to_string(i) + " was not delivered within 10 s", &server);
        int64_t t1 = benchMicros();
        Delivery d;
        if (type != PKT_MAIL || !parseDelivery(body, length, d) || d.token != token ||
            d.kind != MAIL_MESSAGE || std::strcmp(d.sender, senderName.c_str()) != 0 ||
            d.textLength != text.size() || std::memcmp(d.text, text.data(), text.size()) != 0)
            return benchFailure(BENCH, "delivery " + std::to_string(i) + " came with wrong bytes",
                                &server);
        if (d.time < nowSeconds() - 5 || d.time > nowSeconds() + 1)
            return benchFailure(BENCH, "a live delivery carried a receive time far from now",
                                &server);
        int32_t failed = -1, reason = -1;
        if (!sender.readResult(PKT_MAIL_RESULT, failed, reason, 10) || failed != 0 || reason != 0)
            return benchFailure(BENCH, "mail " + std::to_string(i) + " was not answered (51,0,0)",
                                &server);
        if (i >= warmup) relayUs.push_back(double(t1 - t0));
        if (t1 > until) break;
    }

    const size_t n = relayUs.size();
    const double echoP50 = percentile(echoUs, 50), echoP99 = percentile(echoUs, 99);
    const double p50 = percentile(relayUs, 50), p99 = percentile(relayUs, 99);
    const double ratio = echoP50 > 0 ? p50 / echoP50 : 0;
    printFigure("echo round trip p50 (baseline)", echoP50, "us");
    printFigure("echo round trip p99 (baseline)", echoP99, "us");
    printFigure("relay p50", p50, "us");
    printFigure("relay p99", p99, "us");
    printFigure("relay p50 / echo p50", ratio, "x", "within 1.5x", ratio <= 1.5 ? 1 : 0);
    std::printf("  samples: %zu after %d warm-up mails, every delivery and result checked\n", n,
                warmup);
    std::vector<JsonField> json = {jsonText("bench", BENCH),
                                   jsonInteger("samples", (long long)n),
                                   jsonInteger("text_bytes", (long long)text.size()),
                                   jsonNumber("echo_p50_us", echoP50),
                                   jsonNumber("echo_p99_us", echoP99),
                                   jsonNumber("p50_us", p50),
                                   jsonNumber("p99_us", p99),
                                   jsonNumber("p50_ratio_to_echo", ratio),
                                   jsonBool("target_met", ratio <= 1.5)};
    users.clear();
    finishServer(server, json);
    printJsonLine(json);
    return 0;
}
