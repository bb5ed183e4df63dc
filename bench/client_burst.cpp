// Burst of deliveries: the time from the server's write of 100 deliveries to the last
// received-mail file on the client's disk, through the client's send worker, the packet mailbox
// and the receive worker (every file flushed to disk and renamed into place).
//
// Two runs: (a) a fake server in this process writes the 100 deliveries in one go, which measures
// the client alone; (b) a raw protocol client sends 100 mails through a real "tovis --headless"
// child to the client's user, which adds the server's relaying.
//
//   client_burst [--count N] [--server PATH]
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "bench/bench_common.h"
#include "bench/raw_client.h"
#include "bench/server_process.h"
#include "client/connection/cc_rec_mess.h"
#include "client/connection/cc_rs_data.h"
#include "client/connection/message_file.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/tcp_socket.h"
#include "protocol/packets.h"
#include "tests/support/client_stack.h"

using namespace tovi;

static const char* BENCH = "client_burst";

namespace {

// Microseconds from t0 until count mails of the client are on disk; -1 after timeoutMs.
double waitForMails(const test::ClientStack& client, size_t count, int64_t t0, int timeoutMs) {
    const int64_t until = monotonicMs() + timeoutMs;
    while (client.received().size() < count) {
        if (monotonicMs() > until) return -1;
        sleepMs(1);
    }
    return double(benchMicros() - t0);
}

std::string deliveryFrame(int i) {
    std::string text = "[Subject]:_[burst " + std::to_string(i) + "]_" + std::string(200, 'b');
    char body[PACKET_BUFFER_SIZE];
    std::string payload = encodePayload(MAIL_MESSAGE, "sender", 1, text);
    size_t length = buildDelivery(body, nowSeconds(), payload.data(), payload.size());
    std::string frame(8, '\0');
    putFrameHeader(frame.data(), PKT_MAIL, static_cast<int32_t>(length));
    return frame + std::string(body, length);
}

// (a) The fake server: answers the log-in, then writes count deliveries in one go.
double fakeServerBurst(int count, std::string& error) {
    CTcpSocket listener;
    if (!listener.listen("127.0.0.1", 0, 5)) {
        error = "cannot listen";
        return -1;
    }
    const std::string root = makeTempDirectory("tovi_client_burst_");
    std::atomic<int64_t> wroteAt{0};
    std::thread fake([&] {
        CTcpSocket peer;
        for (int i = 0; i < 5000 && !listener.accept(peer); ++i) sleepMs(1);
        if (!peer.isOpen()) return;
        char login[28];
        size_t got = 0;
        while (got < sizeof login && peer.waitReadable(5000) > 0) {
            long r = peer.readSome(login + got, sizeof login - got);
            if (r <= 0) return;
            got += static_cast<size_t>(r);
        }
        char answer[16];
        putFrameHeader(answer, PKT_LOGIN_RESULT, 8);
        buildResult(answer + 8, 0, 0);
        peer.writeAll(answer, sizeof answer, 5000);
        sleepMs(200);
        std::string burst;
        for (int i = 0; i < count; ++i) burst += deliveryFrame(i);
        wroteAt.store(benchMicros());
        peer.writeAll(burst.data(), burst.size(), 30000);
        char sink[256];
        while (peer.waitReadable(30000) > 0 && peer.readSome(sink, sizeof sink) > 0) {
        }
    });
    double micros = -1;
    {
        test::ClientStack client(listener.localPort(), root + "/mail/", "burst", 0, "bench");
        if (!client.start() || !client.loggedIn(5000)) {
            error = "no log-in with the fake server";
        } else {
            for (int i = 0; i < 5000 && wroteAt.load() == 0; ++i) sleepMs(1);
            micros = waitForMails(client, static_cast<size_t>(count), wroteAt.load(), 60000);
            if (micros < 0) error = "not every delivery was stored";
        }
        client.stop();
    }
    fake.join();
    removeTree(root);
    return micros;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = std::stoi(argValue(argc, argv, "--count", "100"));
    std::printf("burst of %d deliveries to one client: server write to the last file on disk\n",
                count);
    std::string error;
    const double fakeMicros = fakeServerBurst(count, error);
    if (fakeMicros < 0) return benchFailure(BENCH, error);

    CServerProcess server;
    if (!server.start(CServerProcess::findBinary(argc, argv), error))
        return benchFailure(BENCH, error, &server);
    double realMicros = -1;
    {
        test::ClientStack client(server.port(), server.directory() + "/mail/", "burst", 1, "bench");
        if (!client.start() || !client.loggedIn(5000))
            return benchFailure(BENCH, "the client did not log in", &server);
        CRawClient sender;
        if (!sender.connect(server.port()) || !sender.registerNew("sender", "bench", error))
            return benchFailure(BENCH, "raw sender: " + error, &server);
        std::string text = "[Subject]:_[burst]_" + std::string(200, 'b');
        char body[MAX_MAIL_BODY];
        size_t length = buildMail(body, SEND_TO_USER, "burst", "", MAIL_MESSAGE, "sender", 1,
                                  text.data(), text.size());
        const int64_t t0 = benchMicros();
        for (int i = 0; i < count; ++i) sender.queuePacket(PKT_MAIL, body, length);
        if (!sender.flush()) return benchFailure(BENCH, "raw sender could not write", &server);
        realMicros = waitForMails(client, static_cast<size_t>(count), t0, 60000);
        if (realMicros < 0) return benchFailure(BENCH, "not every mail was stored", &server);
        client.stop();
    }

    printFigure("fake server burst, write to last file", fakeMicros / 1000.0, "ms", {}, -1);
    printFigure("per delivery (fake server)", fakeMicros / count, "us", {}, -1);
    printFigure("real server burst, first send to last file", realMicros / 1000.0, "ms", {}, -1);
    printFigure("per delivery (real server)", realMicros / count, "us", {}, -1);
    std::vector<JsonField> json = {jsonText("bench", BENCH),
                                   jsonInteger("count", count),
                                   jsonNumber("fake_server_ms", fakeMicros / 1000.0),
                                   jsonNumber("real_server_ms", realMicros / 1000.0),
                                   jsonNumber("fake_per_delivery_us", fakeMicros / count),
                                   jsonNumber("real_per_delivery_us", realMicros / count)};
    finishServer(server, json);
    printJsonLine(json);
    return 0;
}
