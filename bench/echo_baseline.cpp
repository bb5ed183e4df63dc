// The baseline for the relay figures: a plain TCP echo round trip on 127.0.0.1 between this
// process's client and an echo thread, with the message of the relay benchmark (a 100-byte text
// mail is 180 bytes on the wire).
//
//   echo_baseline [--quick] [--samples N]
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"

using namespace tovi;

int main(int argc, char** argv) {
    const bool quick = argFlag(argc, argv, "--quick");
    const int samples = std::stoi(argValue(argc, argv, "--samples", quick ? "2000" : "20000"));
    const int warmup = quick ? 200 : 1000;
    const size_t messageSize = 180;

    std::printf("(a) plain TCP echo round trip, %zu-byte message, 127.0.0.1\n", messageSize);
    std::vector<double> us;
    std::string error;
    if (!measureEchoRoundTrips(warmup, samples, messageSize, 60, us, error))
        return benchFailure("echo_baseline", error);
    const size_t n = us.size();
    double p50 = percentile(us, 50), p99 = percentile(us, 99);
    printFigure("echo round trip p50", p50, "us");
    printFigure("echo round trip p99", p99, "us");
    std::printf("  samples: %zu after %d warm-up rounds\n", n, warmup);
    printJsonLine({jsonText("bench", "echo_baseline"), jsonInteger("samples", (long long)n),
                   jsonInteger("message_bytes", (long long)messageSize), jsonNumber("p50_us", p50),
                   jsonNumber("p99_us", p99)});
    return 0;
}
