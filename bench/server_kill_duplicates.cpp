// (j) Duplicates after SIGKILL during hand-overs: a user with 8 000 held records (1 KB) logs in
// and reads its held mail; the server is killed at a varying moment of the hand-over, started
// again and the user logs in again, until a log-in hands over nothing more. Every record carries
// its number: the figure is the number of records delivered more than once, per kill; none may
// be missing.
//
// (k) Acknowledged mail under SIGKILL with load: a sender sends SEND_TO_USER mails (1 KB text,
// each with its own number) one after the other to a connected recipient that reads slowly (a
// 1 ms pause after every 4 deliveries), so that its socket fills and mail waits; the server is
// killed after a varying 20 to 300 ms, started again, and both log in again. At the end the
// recipient takes what is left. Lost: mails answered (51, 0, 0) that never arrived; repeated:
// deliveries of a mail after its first; both per 100 kills.
//
//   server_kill_duplicates [--quick] [--kills N] [--server PATH]
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_common.h"
#include "bench/raw_client.h"
#include "bench/server_process.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "protocol/packets.h"

using namespace tovi;

static const char* BENCH = "kill_duplicates";
static const char* LOAD_BENCH = "kill_under_load";

namespace {

// Reads deliveries until the connection ends, counting each mail's number; pauses 1 ms after
// every 4.
void readSlowly(CRawClient& rx, std::vector<int>& seen, std::atomic<long long>& wrong) {
    int32_t type = 0;
    const char* body = nullptr;
    uint32_t length = 0;
    for (int n = 1; rx.readPacket(type, body, length, 3); ++n) {
        Delivery d;
        if (type != PKT_MAIL || !parseDelivery(body, length, d) || d.token < 0 ||
            d.token >= static_cast<int32_t>(seen.size())) {
            ++wrong;
            continue;
        }
        ++seen[static_cast<size_t>(d.token)];
        if (n % 4 == 0) sleepMs(1);
    }
}

int runUnderLoad(const std::string& binary, int kills) {
    std::printf("(k) acknowledged mail under SIGKILL with a slow reader (%d kills)\n", kills);
    std::string error;
    CServerProcess server;
    if (!server.prepare(error)) return benchFailure(LOAD_BENCH, error);
    const int maxMails = 4000000;
    std::vector<int> seen(maxMails, 0);
    std::vector<int> acknowledged;
    std::atomic<long long> wrong{0};
    int next = 0;
    const std::string text(1000, 'm');
    char body[MAX_MAIL_BODY];
    for (int round = 0; round <= kills; ++round) {
        if (!server.start(binary, error)) return benchFailure(LOAD_BENCH, error, &server);
        CRawClient rx, tx;
        const bool first = round == 0;
        if (!rx.connect(server.port()) || !tx.connect(server.port()) ||
            (first ? !rx.registerNew("rx", "g", error) || !tx.registerNew("tx", "g", error)
                   : rx.login("rx") != 0 || tx.login("tx") != 0))
            return benchFailure(LOAD_BENCH, "log-in failed " + error, &server);
        std::thread reader([&] { readSlowly(rx, seen, wrong); });
        if (round == kills) {
            // The last start: nothing is sent; the recipient takes what is left.
            reader.join();
            server.stop(5000);
            break;
        }
        const int64_t killAt = monotonicMs() + 20 + (round * 7919) % 281;
        bool killed = false;
        while (next < maxMails) {
            if (!killed && monotonicMs() >= killAt) {
                ::kill(server.pid(), SIGKILL);
                killed = true;
            }
            const int token = next++;
            const size_t n = buildMail(body, SEND_TO_USER, "rx", "", MAIL_MESSAGE, "tx", token,
                                       text.data(), text.size());
            int32_t failed = 1, reason = 0;
            if (!tx.sendPacket(PKT_MAIL, body, n) ||
                !tx.readResult(PKT_MAIL_RESULT, failed, reason, 5))
                break;
            if (failed == 0) acknowledged.push_back(token);
        }
        tx.close();
        reader.join();
        rx.close();
        server.stop(5000);
    }
    long long lost = 0, repeated = 0;
    for (int token : acknowledged) lost += seen[static_cast<size_t>(token)] == 0;
    for (int i = 0; i < next; ++i) repeated += seen[static_cast<size_t>(i)] > 1 ? seen[i] - 1 : 0;
    const double per100 = kills ? 100.0 / kills : 0;
    printFigure("mails acknowledged", double(acknowledged.size()), "mails");
    printFigure("lost per 100 kills", double(lost) * per100, "mails", "none", lost == 0 ? 1 : 0);
    printFigure("repeated per 100 kills", double(repeated) * per100, "deliveries");
    std::vector<JsonField> json = {
        jsonText("bench", LOAD_BENCH),
        jsonInteger("kills", kills),
        jsonInteger("acknowledged", static_cast<long long>(acknowledged.size())),
        jsonInteger("lost", lost),
        jsonInteger("repeated", repeated),
        jsonNumber("lost_per_100_kills", double(lost) * per100),
        jsonNumber("repeated_per_100_kills", double(repeated) * per100),
        jsonInteger("wrong_deliveries", wrong.load()),
        jsonBool("target_met", lost == 0 && wrong.load() == 0)};
    printJsonLine(json);
    return lost == 0 && wrong.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const int loadKills = std::atoi(argValue(argc, argv, "--kills", quick ? "8" : "100").c_str());
    const int loadResult = runUnderLoad(CServerProcess::findBinary(argc, argv), loadKills);
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
    return missing == 0 && loadResult == 0 ? 0 : 1;
}
