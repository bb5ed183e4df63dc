#include "bench/bench_common.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/file.h"
#include "protocol/packets.h"

namespace tovi {
namespace {

TEST(Percentile, NearestRankOfUnsortedSamples) {
    std::vector<double> s;
    for (int i = 100; i >= 1; --i) s.push_back(i);
    EXPECT_EQ(percentile(s, 50), 50);
    EXPECT_EQ(percentile(s, 99), 99);
    EXPECT_EQ(percentile(s, 100), 100);
    EXPECT_EQ(percentile(s, 0), 1);
    std::vector<double> three = {30, 10, 20};
    EXPECT_EQ(percentile(three, 50), 20);
    EXPECT_EQ(percentile(three, 99), 30);
    std::vector<double> one = {7};
    EXPECT_EQ(percentile(one, 1), 7);
    std::vector<double> none;
    EXPECT_EQ(percentile(none, 50), 0);
}

TEST(JsonLine, PrintsEveryKindAndEscapesText) {
    std::string line = jsonLine({jsonText("bench", "a\"b\\c\n\x01"), jsonInteger("n", -12),
                                 jsonNumber("x", 1.5), jsonBool("ok", true),
                                 jsonNumber("bad", std::numeric_limits<double>::quiet_NaN())});
    EXPECT_EQ(line,
              "{\"bench\":\"a\\\"b\\\\c\\n\\u0001\",\"n\":-12,\"x\":1.5,\"ok\":true,"
              "\"bad\":null}");
    EXPECT_EQ(jsonLine({}), "{}");
}

TEST(ProcReaders, StatTicksSkipsANameWithSpacesAndParentheses) {
    long long ticks = 0;
    ASSERT_TRUE(statTicks("4321 (we ird) (x) S 1 2 3 4 5 6 7 8 9 10 250 17 0 0 20 0 1 0\n", ticks));
    EXPECT_EQ(ticks, 267);
    EXPECT_FALSE(statTicks("4321 (cut) S 1 2 3", ticks));
    EXPECT_FALSE(statTicks("no parentheses at all", ticks));
}

TEST(ProcReaders, StatusFieldOnlyAtTheStartOfALine) {
    const std::string status =
        "Name:\ttovis\nXVmHWM:\t1 kB\nVmHWM:\t   8123 kB\nVmRSS:\t 4000 kB\n";
    long long kb = 0;
    ASSERT_TRUE(statusFieldKb(status, "VmHWM", kb));
    EXPECT_EQ(kb, 8123);
    ASSERT_TRUE(statusFieldKb(status, "VmRSS", kb));
    EXPECT_EQ(kb, 4000);
    EXPECT_FALSE(statusFieldKb(status, "VmSwap", kb));
}

TEST(ProcReaders, SeeThisProcessWorkAndGrow) {
    long long before = 0, after = 0;
    ASSERT_TRUE(processCpuTicks(::getpid(), before));
    // Burn at least three clock ticks of CPU time; bounded by wall time as well.
    volatile double sink = 0;
    const int64_t until = benchMicros() + 5000000;
    do {
        for (int i = 0; i < 1000000; ++i) sink = sink + std::sqrt(double(i));
        ASSERT_TRUE(processCpuTicks(::getpid(), after));
    } while (after - before < 3 && benchMicros() < until);
    EXPECT_GE(after - before, 3);

    long long peak0 = 0, peak1 = 0;
    ASSERT_TRUE(processPeakRssKb(::getpid(), peak0));
    std::vector<char> block(48u << 20);
    std::memset(block.data(), 1, block.size());
    ASSERT_TRUE(processPeakRssKb(::getpid(), peak1));
    EXPECT_GE(peak1 - peak0, 40 * 1024 - 1024) << "touching 48 MiB must raise the peak";
    EXPECT_FALSE(processPeakRssKb(0x7ffffff0, peak1)) << "no such process";
}

TEST(DataFiles, UserRecordIsSixtyThreeBytesOfPaddedFields) {
    std::string r = encodeUserRecord("abcdefghijklmnopqrstuvwxyz", "grp", "127.0.0.1");
    ASSERT_EQ(r.size(), 63u);
    EXPECT_EQ(r.substr(0, 20), "abcdefghijklmnopqrst") << "a full field has no NUL";
    EXPECT_EQ(r.substr(20, 3), "grp");
    EXPECT_EQ(r.substr(23, 17), std::string(17, '\0'));
    EXPECT_EQ(r.substr(40, 9), "127.0.0.1");
    EXPECT_EQ(r.substr(49), std::string(14, '\0'));
}

TEST(DataFiles, HeldRecordCarriesNameTimeLengthAndPayload) {
    std::string payload = encodePayload(MAIL_MESSAGE, "carol", 0x01020304, "hello");
    ASSERT_EQ(payload.size(), 28u + 5);
    EXPECT_EQ(getInt32(payload.data()), MAIL_MESSAGE);
    EXPECT_EQ(payload.substr(4, 6), std::string("carol\0", 6));
    EXPECT_EQ(getInt32(payload.data() + 24), 0x01020304);
    EXPECT_EQ(payload.substr(28), "hello");

    std::string r = encodeHeldRecord("bob", -2, payload);
    ASSERT_EQ(r.size(), 28u + payload.size());
    EXPECT_EQ(r.substr(0, 20), std::string("bob") + std::string(17, '\0'));
    EXPECT_EQ(getInt32(r.data() + 20), -2);
    EXPECT_EQ(static_cast<unsigned char>(r[24]), payload.size()) << "little-endian length";
    EXPECT_EQ(getInt32(r.data() + 24), static_cast<int32_t>(payload.size()));
    EXPECT_EQ(r.substr(28), payload);
}

TEST(TempDirectories, AreFreshAndRemovedWithTheirFiles) {
    std::string a = makeTempDirectory("tovi-bench-test");
    std::string b = makeTempDirectory("tovi-bench-test");
    ASSERT_FALSE(a.empty());
    ASSERT_NE(a, b);
    ASSERT_TRUE(replaceFileAtomically(a + "/x.dat", "data"));
    EXPECT_TRUE(removeTree(a));
    EXPECT_FALSE(isDirectory(a));
    EXPECT_TRUE(removeTree(b));
    EXPECT_FALSE(removeTree(b)) << "nothing left to remove";
}

TEST(EchoBaseline, MeasuresWholeRoundTrips) {
    std::vector<double> us;
    std::string error;
    ASSERT_TRUE(measureEchoRoundTrips(10, 200, 180, 30, us, error)) << error;
    EXPECT_EQ(us.size(), 200u);
    for (double v : us) EXPECT_GT(v, 0);
    // A message larger than the client's read-ahead comes back whole too.
    ASSERT_TRUE(measureEchoRoundTrips(0, 5, 20000, 30, us, error)) << error;
    EXPECT_EQ(us.size(), 5u);
}

TEST(Arguments, ValueAndFlag) {
    char a0[] = "prog", a1[] = "--samples", a2[] = "12", a3[] = "--quick";
    char* argv[] = {a0, a1, a2, a3};
    EXPECT_EQ(argValue(4, argv, "--samples", "5"), "12");
    EXPECT_EQ(argValue(4, argv, "--quick", "x"), "x") << "a flag at the end has no value";
    EXPECT_EQ(argValue(4, argv, "--server", "none"), "none");
    EXPECT_TRUE(argFlag(4, argv, "--quick"));
    EXPECT_FALSE(argFlag(4, argv, "--server"));
}

}  // namespace
}  // namespace tovi
