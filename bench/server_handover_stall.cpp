// (i) The longest wait of other clients while one user's log-in hands over its held mail, with a
// store of 1, 10 and 100 MB: a pair relays mails one at a time throughout, and the figure is the
// longest send-to-result cycle of the pair from the log-in until the store's rewrite is done
// (its file holds exactly the other user's records), at most 5 s after the last held mail. The user
// has 100 held records of 1 KB; the rest of the store belongs to another registered user. Each size
// runs in a fresh server; the store must afterwards hold exactly the other user's records.
// Unless --no-backup, an operator takes a backup through the control socket (tovisctl backup)
// as the hand-over begins, so the window covers the backup too; the copy must hold whole records:
// every one of the other user's, and the user's own not yet handed over at that moment.
//
//   server_handover_stall [--quick] [--no-backup] [--server PATH]
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_common.h"
#include "bench/raw_client.h"
#include "bench/relay_pinger.h"
#include "bench/server_process.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/unix_socket.h"
#include "protocol/packets.h"

using namespace tovi;

static const char* BENCH = "handover_stall";

namespace {

constexpr size_t RECORD_BYTES = 1024;
constexpr int OWN_RECORDS = 100;

bool writeFiles(const std::string& dir, long long records, std::string& error) {
    std::string users;
    for (const char* name : {"me", "other", "pair0", "pair1"})
        users += encodeUserRecord(name, "bench", "127.0.0.1");
    if (!replaceFileAtomically(dir + "/TovisUser.dat", users)) {
        error = "cannot write TovisUser.dat: " + lastFileError();
        return false;
    }
    CFile store;
    if (!store.open(dir + "/TovisBackMail.dat", CFile::CREATE_TRUNCATE)) {
        error = "cannot create TovisBackMail.dat";
        return false;
    }
    std::string chunk;
    const long long every = records / OWN_RECORDS;
    for (long long i = 0; i < records; ++i) {
        const bool own = i % every == 0 && i / every < OWN_RECORDS;
        const std::string payload = encodePayload(MAIL_MESSAGE, "sender", int32_t(i + 2),
                                                  std::string(RECORD_BYTES - 28 - 28, 'h'));
        chunk += encodeHeldRecord(own ? "me" : "other", nowSeconds(), payload);
        if (chunk.size() >= (1 << 20) || i + 1 == records) {
            if (!store.write(chunk.data(), chunk.size())) {
                error = "cannot write TovisBackMail.dat";
                return false;
            }
            chunk.clear();
        }
    }
    return store.sync() && store.close();
}

// What tovisctl backup DIR does: one request line on the control socket, then the answer.
bool takeBackup(const std::string& serverDir, const std::string& into, std::string& answer) {
    CUnixSocket control;
    std::string why;
    if (!makeDirectories(into) ||
        control.connect(serverDir + "/tovis.ctl", why) != CUnixSocket::DONE ||
        !control.writeAll("backup " + into + "\n", 10000)) {
        answer = "no control socket: " + why;
        return false;
    }
    control.shutdownSend();
    control.readToEnd(answer, 4096, 60000);
    return answer.rfind("OK\n", 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const bool backup = !argFlag(argc, argv, "--no-backup");
    std::printf("(i) longest wait of a relaying pair during a log-in hand-over, by store size\n");
    std::vector<JsonField> json = {jsonText("bench", BENCH)};
    bool allMet = true;
    for (int megabytes : {1, 10, 100}) {
        if (quick && megabytes == 100) continue;
        const long long records = (long long)megabytes * 1024 * 1024 / RECORD_BYTES;
        std::string error;
        CServerProcess server;
        if (!server.prepare(error) || !writeFiles(server.directory(), records, error) ||
            !server.start(CServerProcess::findBinary(argc, argv), error))
            return benchFailure(BENCH, error, &server);
        CRelayPinger pinger;
        if (!pinger.start(server.port(), "pair0", "pair1", error))
            return benchFailure(BENCH, error, &server);
        // The pair's own log-ins (with their held-mail pause) are over before the quiet window.
        sleepMs(700);
        CRawClient me;
        const int64_t from = benchMicros();
        if (!me.connect(server.port()) || me.login("me") != 0)
            return benchFailure(BENCH, "the log-in was refused", &server);
        const std::string copyDir = server.directory() + "/backup";
        std::string backupAnswer;
        bool backupOk = false;
        int64_t backupMicros = 0;
        std::thread operatorThread;
        if (backup)
            operatorThread = std::thread([&] {
                const int64_t began = benchMicros();
                backupOk = takeBackup(server.directory(), copyDir, backupAnswer);
                backupMicros = benchMicros() - began;
            });
        for (int i = 0; i < OWN_RECORDS; ++i) {
            int32_t type = 0;
            const char* body = nullptr;
            uint32_t length = 0;
            if (!me.readPacket(type, body, length, 60) || type != PKT_MAIL)
                return benchFailure(BENCH, "held mail " + std::to_string(i) + " did not come",
                                    &server);
        }
        // The window ends once the rewrite has replaced the store (the pair relays on meanwhile).
        const long long expected = (records - OWN_RECORDS) * (long long)RECORD_BYTES;
        const std::string storePath = server.directory() + "/TovisBackMail.dat";
        const int64_t lastHeld = benchMicros();
        bool rewritten = false;
        while (!rewritten && benchMicros() - lastHeld < 5000000) {
            sleepMs(10);
            CFile store;
            rewritten = store.open(storePath, CFile::READ) && store.size() == expected;
        }
        if (operatorThread.joinable()) operatorThread.join();
        const int64_t to = benchMicros();
        sleepMs(100);
        if (backup) {
            // Whole records: the other user's all, and those of the user's own not yet handed
            // over when the picture was taken.
            CFile copy;
            const long long whole = records * (long long)RECORD_BYTES;
            if (!backupOk)
                return benchFailure(BENCH, "the backup failed: " + backupAnswer, &server);
            const long long size = copy.open(copyDir + "/TovisBackMail.dat", CFile::READ)
                                       ? static_cast<long long>(copy.size())
                                       : -1;
            if (size % (long long)RECORD_BYTES != 0 || size > whole ||
                size < whole - OWN_RECORDS * (long long)RECORD_BYTES)
                return benchFailure(BENCH, "the backup holds " + std::to_string(size) + " bytes",
                                    &server);
        }
        if (!pinger.stop()) return benchFailure(BENCH, pinger.error(), &server);
        std::vector<double> before = pinger.latencies(0, from);
        // The same figure over the 300 ms before the log-in: the noise of this machine.
        const double quiet = pinger.longestCycle(from - 300000, from);
        const double longest = pinger.longestCycle(from, to);
        const double base = percentile(before, 50);
        const std::string label = std::to_string(megabytes) + " MB store";
        printFigure(label + ": longest wait of the pair", longest / 1000, "ms", "below 5 ms",
                    longest < 5000 ? 1 : 0);
        printFigure(label + ": the pair's cycle p50 before the log-in", base, "us");
        printFigure(label + ": longest wait in the 300 ms before it", quiet / 1000, "ms");
        if (backup) printFigure(label + ": backup taken meanwhile in", backupMicros / 1000.0, "ms");
        if (rewritten)
            printFigure(label + ": rewritten after the last held mail", (to - lastHeld) / 1000.0,
                        "ms");
        else
            std::printf("  %s: not rewritten within 5 s of the last held mail\n", label.c_str());
        allMet = allMet && longest < 5000;
        me.close();
        std::vector<JsonField> sizeJson;
        const long long peak = finishServer(server, sizeJson);
        (void)peak;
        std::string data;
        readWholeFile(storePath, data);
        if ((long long)data.size() != expected)
            return benchFailure(BENCH, label + ": the store holds " + std::to_string(data.size()) +
                                           " bytes, not " + std::to_string(expected));
        json.push_back(
            jsonNumber("longest_ms_" + std::to_string(megabytes) + "mb", longest / 1000));
        json.push_back(
            jsonNumber("quiet_longest_ms_" + std::to_string(megabytes) + "mb", quiet / 1000));
    }
    json.push_back(jsonBool("target_met", allMet));
    printJsonLine(json);
    return 0;
}
