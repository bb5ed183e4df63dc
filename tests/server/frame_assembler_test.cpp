// CFrameAssembler on its own: the same bytes give the same packets however they are cut, and
// every deadline and verdict of the log-in and of later packets.
#include "server/core/frame_assembler.h"

#include "server_support.h"

namespace tovi::test {

using namespace std::string_literals;

namespace {

// Feeds bytes in pieces of at most step bytes from time t; each verdict as text.
Names feedAll(CFrameAssembler& a, const std::string& bytes, size_t step, int64_t t = 0) {
    Names out;
    for (size_t off = 0; off < bytes.size();) {
        const size_t n = std::min(step, bytes.size() - off);
        size_t taken = 0;
        for (size_t used = 0; taken < n; taken += used) {
            const auto v = a.feed(bytes.data() + off + taken, n - taken, t, used);
            if (v == CFrameAssembler::PACKET)
                out.push_back(std::to_string(a.type()) + (a.wasLogIn() ? "L:" : ":") +
                              std::string(a.body(), a.length()));
            else if (v == CFrameAssembler::BAD_HANDSHAKE)
                out.push_back("bad-handshake");
            else if (v == CFrameAssembler::BAD_LENGTH)
                return out.push_back("bad-length"), out;
            if (v == CFrameAssembler::MORE && used == 0) break;
        }
        off += n;
    }
    return out;
}

}  // namespace

TEST(FrameAssembler, PacketsAreTheSameHoweverTheBytesAreCut) {
    const std::string stream = frame(PKT_LOGIN, "ann") + int32s({99, 0}) + frame(PKT_MAIL, "") +
                               frame(PKT_MAIL, std::string(19800, 'm')) +
                               frame(PKT_USERLIST_REQ, int32s({0}) + nameField("")) +
                               frame(PKT_LOGIN, "again");
    const Names expected = {"1L:ann", "16:" + std::string(19800, 'm'),
                            "34:" + int32s({0}) + nameField(""), "1:again"};
    for (size_t step : {size_t(1), size_t(3), size_t(7), size_t(4096), stream.size()}) {
        CFrameAssembler a;
        a.startConnection(0);
        EXPECT_EQ(feedAll(a, stream, step), expected) << step;
        EXPECT_FALSE(a.midPacket());
    }
}

TEST(FrameAssembler, HandshakeVerdictsAndImpossibleLengths) {
    const std::pair<std::string, Names> cases[] = {
        // A wrong first type takes 4 bytes; the rest is read as packets.
        {int32s({PKT_REGISTER}) + frame(40, "x"), {"bad-handshake", "40:x"}},
        // A log-in without a name is still a packet; a packet of length 0 later is not.
        {frame(PKT_LOGIN, "") + frame(PKT_MAIL, ""), {"1L:"}},
        {frame(PKT_LOGIN, "a") + int32s({PKT_MAIL, 20001}) + "zz", {"1L:a", "bad-length"}},
        {int32s({PKT_LOGIN, -1}), {"bad-length"}},
        {frame(PKT_LOGIN, std::string(20000, 'n')), {"1L:" + std::string(20000, 'n')}}};
    for (const auto& [bytes, expected] : cases) {
        CFrameAssembler a;
        a.startConnection(0);
        EXPECT_EQ(feedAll(a, bytes, 5), expected);
    }
    CFrameAssembler a;
    a.startConnection(0);
    feedAll(a, int32s({PKT_LOGIN, -1}), 8);
    size_t used = 9;
    EXPECT_EQ(a.feed("more", 4, 0, used), CFrameAssembler::BAD_LENGTH);  // nothing more taken
    EXPECT_EQ(used, 0u);
}

TEST(FrameAssembler, DeadlinesOfTheLogInAndOfLaterPieces) {
    CFrameAssembler a;
    a.startConnection(1000);
    EXPECT_EQ(a.deadlineMs(), 11000);  // the first bytes within 10 s
    EXPECT_EQ(a.expire(10999), CFrameAssembler::NOT_DUE);
    feedAll(a, int32s({PKT_LOGIN}) + "\x03", 64, 5000);
    EXPECT_EQ(a.deadlineMs(), 10000);  // each piece of the log-in within 5 s
    EXPECT_EQ(a.expire(10000), CFrameAssembler::HANDSHAKE_EXPIRED);
    EXPECT_FALSE(a.loggingIn());
    EXPECT_EQ(a.deadlineMs(), 0);
    // After the log-in a piece has 10000 s; its expiry drops the packet begun, silently.
    EXPECT_EQ(feedAll(a, "\x10\0\0\0\x08\0\0"s, 64, 20000), Names{});
    EXPECT_EQ(a.deadlineMs(), 20000 + CFrameAssembler::PACKET_PIECE_MS);
    EXPECT_EQ(a.expire(20000 + CFrameAssembler::PACKET_PIECE_MS), CFrameAssembler::PACKET_DROPPED);
    EXPECT_EQ(feedAll(a, frame(PKT_RENAME, "r"), 64, 30000), Names{"33:r"});
    EXPECT_EQ(a.expire(INT64_MAX), CFrameAssembler::NOT_DUE);  // a whole packet is not judged
}

}  // namespace tovi::test
