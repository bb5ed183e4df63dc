#include "platform/ipv4_network.h"

#include <gtest/gtest.h>

namespace tovi {
namespace {

TEST(Ipv4Network, ParsesDottedAddressesAndNetworksAndRefusesTheRest) {
    uint32_t a = 0;
    ASSERT_TRUE(parseIpv4("192.168.1.10", a));
    EXPECT_EQ(a, 0xC0A8010Au);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1.2.3.-1", " 1.2.3.4",
                            "1.2.3.4 ", "1..3.4", "0001.2.3.4", "a.b.c.d", "+1.2.3.4"})
        EXPECT_FALSE(parseIpv4(bad, a)) << bad;

    struct Case {
        const char* network;
        const char* inside;
        const char* outside;
    };
    const Case cases[] = {{"127.0.0.1/32", "127.0.0.1", "127.0.0.2"},
                          {"127.0.0.1", "127.0.0.1", "127.0.0.2"},
                          {"10.0.0.0/8", "10.255.255.255", "11.0.0.0"},
                          {"192.168.4.0/22", "192.168.7.1", "192.168.8.0"},
                          {"0.0.0.0/0", "255.255.255.255", nullptr}};
    for (const Case& c : cases) {
        CIpv4Network n;
        ASSERT_TRUE(CIpv4Network::parse(c.network, n)) << c.network;
        ASSERT_TRUE(parseIpv4(c.inside, a));
        EXPECT_TRUE(n.contains(a)) << c.network;
        if (c.outside != nullptr) {
            ASSERT_TRUE(parseIpv4(c.outside, a));
            EXPECT_FALSE(n.contains(a)) << c.network;
        }
    }
    CIpv4Network n;
    for (const char* bad : {"10.0.0.1/8", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1", "/8",
                            "10.0.0.0/8/8", "10.0.0.0/008"})
        EXPECT_FALSE(CIpv4Network::parse(bad, n)) << bad;

    std::vector<CIpv4Network> list;
    EXPECT_TRUE(CIpv4Network::parseList(" 10.0.0.0/8 ,127.0.0.1", list));
    EXPECT_EQ(list.size(), 2u);
    for (const char* bad : {"", ",", "10.0.0.0/8,", "10.0.0.0/8,,127.0.0.1", "10.0.0.0/8;1.2.3.4"})
        EXPECT_FALSE(CIpv4Network::parseList(bad, list)) << bad;
    EXPECT_EQ(list.size(), 2u);  // unchanged by a refused list
}

}  // namespace
}  // namespace tovi
