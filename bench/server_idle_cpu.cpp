// Idle cost: 200 users connected (the server's whole connection table) and silent; the server's
// CPU time (user + system, from /proc/<pid>/stat) over 10 s, as a share of one core. Afterwards
// one mail between two of the idle users shows that the server still serves them.
//
//   server_idle_cpu [--quick] [--seconds S] [--server PATH]
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

static const char* BENCH = "idle_cpu";

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const int seconds = std::stoi(argValue(argc, argv, "--seconds", quick ? "3" : "10"));
    const int users = 200;

    std::printf("(f) server CPU time over %d s with %d connected idle clients\n", seconds, users);
    std::string error;
    CServerProcess server;
    if (!server.start(CServerProcess::findBinary(argc, argv), error))
        return benchFailure(BENCH, error, &server);
    std::vector<std::unique_ptr<CRawClient>> clients;
    if (!connectNewUsers(server.port(), users, "idl", "bench", clients, error))
        return benchFailure(BENCH, error, &server);

    sleepMs(1000);  // let the registrations' file writes and any start-up work settle
    long long ticks0 = 0, ticks1 = 0;
    if (!processCpuTicks(server.pid(), ticks0))
        return benchFailure(BENCH, "cannot read the server's /proc stat", &server);
    const int64_t t0 = benchMicros();
    sleepMs(seconds * 1000);
    if (!processCpuTicks(server.pid(), ticks1))
        return benchFailure(BENCH, "cannot read the server's /proc stat", &server);
    const double wall = double(benchMicros() - t0) / 1e6;
    const double cpuSeconds = double(ticks1 - ticks0) / double(clockTicksPerSecond());
    const double percent = wall > 0 ? 100.0 * cpuSeconds / wall : 0;

    // Still serving: a mail from the first idle user to the last.
    const std::string from = numberedName("idl", 0), to = numberedName("idl", users - 1);
    const std::string text = "still there?";
    char body[MAX_MAIL_BODY];
    size_t bodyLength = buildMail(body, SEND_TO_USER, to.c_str(), "", MAIL_MESSAGE, from.c_str(), 2,
                                  text.data(), text.size());
    int32_t type = 0, failed = -1, reason = -1;
    const char* delivery = nullptr;
    uint32_t length = 0;
    Delivery d;
    if (!clients[0]->sendPacket(PKT_MAIL, body, bodyLength) ||
        !clients[users - 1]->readPacket(type, delivery, length, 10) || type != PKT_MAIL ||
        !parseDelivery(delivery, length, d) || d.textLength != text.size() ||
        std::memcmp(d.text, text.data(), text.size()) != 0 ||
        !clients[0]->readResult(PKT_MAIL_RESULT, failed, reason, 10) || failed != 0)
        return benchFailure(BENCH, "after the idle period a mail was not relayed", &server);

    printFigure("idle CPU, 200 clients", percent, "% core", "below 0.5 %", percent < 0.5 ? 1 : 0);
    std::printf("  %.3f s of CPU in %.2f s (clock tick %lld per s); a mail relayed afterwards\n",
                cpuSeconds, wall, clockTicksPerSecond());
    std::vector<JsonField> json = {
        jsonText("bench", BENCH),           jsonInteger("connections", users),
        jsonNumber("seconds", wall),        jsonNumber("cpu_seconds", cpuSeconds),
        jsonNumber("cpu_percent", percent), jsonBool("target_met", percent < 0.5)};
    clients.clear();
    finishServer(server, json);
    printJsonLine(json);
    return 0;
}
