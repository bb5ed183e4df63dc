// Idle cost of the client's connection layer: a send worker and a receive worker logged in to a
// real "tovis --headless" child and left alone; the CPU time of this process (user + system,
// getrusage) over 10 s, as a share of one core. Target: below 1 %. Afterwards one mail to the
// idle client shows that it still receives.
//
//   client_idle_cpu [--quick] [--seconds S] [--server PATH]
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bench/bench_common.h"
#include "bench/raw_client.h"
#include "bench/server_process.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"
#include "tests/support/client_stack.h"

using namespace tovi;

static const char* BENCH = "client_idle_cpu";

static double cpuSecondsOfThisProcess() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const int seconds = std::stoi(argValue(argc, argv, "--seconds", quick ? "3" : "10"));
    std::printf("client CPU time over %d s, logged in and idle (send + receive worker)\n", seconds);

    std::string error;
    CServerProcess server;
    if (!server.start(CServerProcess::findBinary(argc, argv), error))
        return benchFailure(BENCH, error, &server);
    const std::string mailDir = server.directory() + "/mail/";
    auto client = std::make_unique<test::ClientStack>(server.port(), mailDir, "idler", 1, "bench");
    if (!client->start() || !client->loggedIn(10000))
        return benchFailure(
            BENCH,
            "the client did not log in, status " + std::to_string(client->sendView.getStatus()),
            &server);

    sleepMs(500);
    const double cpu0 = cpuSecondsOfThisProcess();
    const int64_t t0 = benchMicros();
    sleepMs(seconds * 1000);
    const double cpu = cpuSecondsOfThisProcess() - cpu0;
    const double wall = double(benchMicros() - t0) / 1e6;
    const double percent = wall > 0 ? 100.0 * cpu / wall : 0;
    const bool stillConnected = client->sendView.getStatus() == ST_CONNECTED;

    // Still receiving: one mail from another user lands as a file.
    CRawClient other;
    bool delivered = false;
    if (other.connect(server.port()) && other.registerNew("poker", "bench", error)) {
        const std::string text = "[Subject]:_[ping]_still there?";
        char body[MAX_MAIL_BODY];
        size_t length = buildMail(body, SEND_TO_USER, "idler", "", MAIL_MESSAGE, "poker", 1,
                                  text.data(), text.size());
        if (other.sendPacket(PKT_MAIL, body, length)) {
            for (int i = 0; i < 1000 && !delivered; ++i) {
                delivered = client->received().size() == 1;
                if (!delivered) sleepMs(5);
            }
        }
    }

    client->stop();  // both workers stopped in order
    client.reset();

    printFigure("client CPU while idle", percent, "% of one core", "below 1 %",
                percent < 1.0 ? 1 : 0);
    printFigure("CPU seconds", cpu, "s", {}, -1);
    printFigure("measured wall time", wall, "s", {}, -1);
    std::printf("  still connected: %s, mail after the idle time stored: %s\n",
                stillConnected ? "yes" : "no", delivered ? "yes" : "no");
    std::vector<JsonField> json = {jsonText("bench", BENCH),
                                   jsonNumber("cpu_percent", percent),
                                   jsonNumber("cpu_seconds", cpu),
                                   jsonNumber("wall_seconds", wall),
                                   jsonBool("target_met", percent < 1.0),
                                   jsonBool("still_connected", stillConnected),
                                   jsonBool("delivered_after", delivered)};
    finishServer(server, json);
    printJsonLine(json);
    return stillConnected && delivered ? 0 : 1;
}
