// CIpv4Network: an IPv4 network in CIDR form ("192.168.1.0/24"; a bare address is a /32), and
// the parsing of dotted addresses. Used to decide, at accept, whether a peer may connect.
//
// Plain value class; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tovi {

// Parses a dotted IPv4 address of exactly four decimal parts 0..255 ("10.0.0.1"); no blanks,
// no leading '+', at most 3 digits a part. The address is in host order.
bool parseIpv4(const std::string& text, uint32_t& address);

class CIpv4Network {
  public:
    // "a.b.c.d/n" with n 0..32, or a bare address (/32). Host bits set under the mask are
    // refused ("10.0.0.1/8" is most likely a typing error).
    static bool parse(const std::string& text, CIpv4Network& out);
    // A comma-separated list of networks; blanks around each entry are allowed, an empty entry
    // is not. False (out unchanged) when any entry is malformed.
    static bool parseList(const std::string& text, std::vector<CIpv4Network>& out);

    bool contains(uint32_t address) const { return (address & m_mask) == m_network; }

  private:
    uint32_t m_network = 0;
    uint32_t m_mask = 0;
};

}  // namespace tovi
