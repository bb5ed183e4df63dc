// The control requests and the network controls as text: what tovisctl writes is what the server
// reads, and whatever else reaches the socket or Tovis.ini is refused, never half taken.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "server/core/control_request.h"
#include "server/core/network_controls.h"
#include "support/test_support.h"

namespace tovi::test {
namespace {

TEST(ControlRequest, EveryRequestReadsBackAsWrittenAndMalformedLinesAreRefused) {
    const std::string name20 = cp932("一二三四五六七八九十");  // 20 bytes
    const CControlRequest requests[] = {
        CControlRequest::users(),         CControlRequest::deleteUser(name20),
        CControlRequest::deleteUser("a"), CControlRequest::holdDays(),
        CControlRequest::setHoldDays(0),  CControlRequest::setHoldDays(9999),
        CControlRequest::status(),        CControlRequest::backup("/tmp/a b/ｃ")};
    for (const CControlRequest& r : requests) {
        CControlRequest back;
        ASSERT_TRUE(CControlRequest::parse(r.encode(), back)) << r.encode();
        EXPECT_EQ(back.encode(), r.encode());
        EXPECT_EQ(back.verb(), r.verb());
        EXPECT_EQ(back.name(), r.name());
        EXPECT_EQ(back.days(), r.days());
    }
    for (const char* bad : {"", "\n", "users x", "status ", "USERS", "delete-user", "delete-user ",
                            "delete-user 6", "delete-user zz", "delete-user 00",
                            "delete-user 414141414141414141414141414141414141414141",  // 21 bytes
                            "hold-days -1", "hold-days 10000", "hold-days 1e3", "hold-days ",
                            "backup", "backup relative/dir", "users\nstatus"}) {
        CControlRequest r;
        EXPECT_FALSE(CControlRequest::parse(bad, r)) << bad;
    }
    std::string withNul = "backup /tmp/x";
    withNul[10] = '\0';
    CControlRequest r;
    EXPECT_FALSE(CControlRequest::parse(withNul, r));
    EXPECT_FALSE(CControlRequest::parse(std::string(5000, 'u'), r));
}

TEST(ControlRequest, AnswersSplitIntoOutcomeCodeAndBody) {
    bool ok = false;
    std::string code, body;
    ASSERT_TRUE(CControlAnswer::parse(CControlAnswer::ok("a\nb\n"), ok, code, body));
    EXPECT_TRUE(ok);
    EXPECT_EQ(body, "a\nb\n");
    ASSERT_TRUE(CControlAnswer::parse(
        CControlAnswer::error(CControlAnswer::UNKNOWN_USER, "no such user"), ok, code, body));
    EXPECT_FALSE(ok);
    EXPECT_EQ(code, "unknown-user");
    EXPECT_EQ(body, "no such user\n");
    for (const char* broken : {"", "OK", "NOPE\n", "ER x\n"})
        EXPECT_FALSE(CControlAnswer::parse(broken, ok, code, body)) << broken;
}

// Tovis.ini lines, then the start error expected ("" when it starts), and what it lets in.
TEST(NetworkControls, EachKeyIsReadOrRefusedByNameAndValue) {
    struct Case {
        const char* lines;
        const char* error;  // part of the start error, "" when the controls load
    };
    const Case cases[] = {{"", ""},
                          {"BIND=127.0.0.1\nALLOW=127.0.0.1/32, 10.0.0.0/8\nPERHOST=3\n", ""},
                          {"BIND=localhost\n", "BIND=localhost"},
                          {"BIND=127.0.0.256\n", "BIND=127.0.0.256"},
                          {"ALLOW=10.0.0.1/8\n", "ALLOW=10.0.0.1/8"},
                          {"ALLOW=10.0.0.0/33\n", "ALLOW=10.0.0.0/33"},
                          {"ALLOW=10.0.0.0/8,,\n", "ALLOW=10.0.0.0/8,,"},
                          {"ALLOW=10.0.0\n", "ALLOW=10.0.0"},
                          {"PERHOST=0\n", "PERHOST=0"},
                          {"PERHOST=201\n", "PERHOST=201"},
                          {"PERHOST=two\n", "PERHOST=two"}};
    for (const Case& c : cases) {
        TempDir dir;
        ASSERT_TRUE(replaceFileAtomically(dir.file("Tovis.ini"),
                                          std::string("[SERVER]\nPORT=1\n") + c.lines));
        CNetworkControls controls;
        std::string error;
        EXPECT_EQ(controls.load(CIniFile(dir.file("Tovis.ini")), error), *c.error == '\0')
            << c.lines;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(NetworkControls, JudgesByNetworkAndCountAndLogsAnAddressOnceAMinute) {
    TempDir dir;
    ASSERT_TRUE(replaceFileAtomically(dir.file("Tovis.ini"),
                                      "[SERVER]\nALLOW=127.0.0.1/32,10.1.0.0/16\nPERHOST=2\n"));
    CNetworkControls controls;
    std::string error;
    ASSERT_TRUE(controls.load(CIniFile(dir.file("Tovis.ini")), error));
    uint32_t a = 0;
    const auto at = [&a](const char* text) { return parseIpv4(text, a) ? a : 0xffffffffu; };
    EXPECT_EQ(controls.judge(at("127.0.0.1"), 0), CNetworkControls::ALLOWED);
    EXPECT_EQ(controls.judge(at("127.0.0.1"), 1), CNetworkControls::ALLOWED);
    EXPECT_EQ(controls.judge(at("127.0.0.1"), 2), CNetworkControls::TOO_MANY);
    EXPECT_EQ(controls.judge(at("127.0.0.2"), 0), CNetworkControls::NOT_ALLOWED);
    EXPECT_EQ(controls.judge(at("10.1.255.255"), 0), CNetworkControls::ALLOWED);
    EXPECT_EQ(controls.judge(at("10.2.0.0"), 0), CNetworkControls::NOT_ALLOWED);
    EXPECT_TRUE(controls.shouldLog(at("10.2.0.0"), 1000));
    EXPECT_FALSE(controls.shouldLog(at("10.2.0.0"), 60999));
    EXPECT_TRUE(controls.shouldLog(at("10.2.0.1"), 60999));
    EXPECT_TRUE(controls.shouldLog(at("10.2.0.0"), 61000));
}

}  // namespace
}  // namespace tovi::test
