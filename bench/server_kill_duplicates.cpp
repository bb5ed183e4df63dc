// (j) Duplicates after SIGKILL during hand-overs: a user with 8 000 held records (1 KB) logs in
// and reads its held mail; the server is killed at a varying moment of the hand-over, started
// again and the user logs in again, until a log-in hands over nothing more. Every record carries
// its number: the figure is the number of records delivered more than once, per kill; none may
// be missing.
//
//   server_kill_duplicates [--quick] [--server PATH]
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bench/raw_client.h"
#include "bench/server_process.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"

using namespace tovi;

static const char* BENCH = "kill_duplicates";

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const int kills = quick ? 4 : 12;
    const int records = 8000;
    std::printf("(j) duplicates after SIGKILL during log-in hand-overs (%d records)\n", records);
    std::string error;
    CServerProcess server;
    if (!server.prepare(error)) return benchFailure(BENCH, error);
    std::string store;
    for (int i = 0; i < records; ++i)
        store +=
            encodeHeldRecord("me", nowSeconds(),
                             encodePayload(MAIL_MESSAGE, "sender", i + 2, std::string(968, 'k')));
    if (!replaceFileAtomically(server.directory() + "/TovisUser.dat",
                               encodeUserRecord("me", "bench", "127.0.0.1")) ||
        !replaceFileAtomically(server.directory() + "/TovisBackMail.dat", store))
        return benchFailure(BENCH, "cannot write the data files");
    const std::string binary = CServerProcess::findBinary(argc, argv);
    std::vector<int> seen(records + 2, 0);
    long long duplicates = 0;
    int killed = 0;
    for (int round = 0; round < kills + 20; ++round) {
        if (!server.start(binary, error)) return benchFailure(BENCH, error, &server);
        CRawClient me;
        if (!me.connect(server.port()) || me.login("me") != 0)
            return benchFailure(BENCH, "the log-in was refused", &server);
        const bool kill = killed < kills;
        // The kill comes after a varying part of the hand-over has been read.
        const int readBeforeKill = kill ? 1 + (round * 397) % 900 : records;
        int got = 0;
        for (;;) {
            int32_t type = 0;
            const char* body = nullptr;
            uint32_t length = 0;
            if (!me.readPacket(type, body, length, 2)) break;
            Delivery d;
            if (type != PKT_MAIL || !parseDelivery(body, length, d) || d.token < 2 ||
                d.token >= records + 2)
                return benchFailure(BENCH, "a held delivery came with wrong bytes", &server);
            if (seen[d.token]++ > 0) ++duplicates;
            if (++got == readBeforeKill && kill) {
                // Whatever the server wrote before it died is still read to the end.
                ::kill(server.pid(), SIGKILL);
                ++killed;
            }
        }
        me.close();
        server.stop(5000);
        if (!kill && got == 0) break;
    }
    int missing = 0;
    for (int t = 2; t < records + 2; ++t) missing += seen[t] == 0;
    const double perKill = killed ? double(duplicates) / killed : 0;
    printFigure("duplicates per kill", perKill, "records", "at most one 16 KB window (16)",
                perKill <= 16 ? 1 : 0);
    printFigure("duplicates in all", double(duplicates), "records");
    printFigure("missing", double(missing), "records", "none", missing == 0 ? 1 : 0);
    std::vector<JsonField> json = {jsonText("bench", BENCH),
                                   jsonInteger("kills", killed),
                                   jsonInteger("duplicates", duplicates),
                                   jsonNumber("duplicates_per_kill", perKill),
                                   jsonInteger("missing", missing),
                                   jsonBool("target_met", missing == 0 && perKill <= 16)};
    printJsonLine(json);
    return missing == 0 ? 0 : 1;
}
