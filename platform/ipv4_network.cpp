#include "platform/ipv4_network.h"

namespace tovi {

namespace {

bool parseNumber(const std::string& text, size_t maxDigits, uint32_t maxValue, uint32_t& out) {
    if (text.empty() || text.size() > maxDigits) return false;
    uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > maxValue) return false;
    out = value;
    return true;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

bool parseIpv4(const std::string& text, uint32_t& address) {
    uint32_t value = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = part < 3 ? text.find('.', start) : text.size();
        if (dot == std::string::npos) return false;
        uint32_t n = 0;
        if (!parseNumber(text.substr(start, dot - start), 3, 255, n)) return false;
        value = (value << 8) | n;
        start = dot + 1;
    }
    address = value;
    return true;
}

bool CIpv4Network::parse(const std::string& text, CIpv4Network& out) {
    const size_t slash = text.find('/');
    uint32_t address = 0;
    uint32_t bits = 32;
    if (!parseIpv4(text.substr(0, slash), address)) return false;
    if (slash != std::string::npos && !parseNumber(text.substr(slash + 1), 2, 32, bits))
        return false;
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    if ((address & ~mask) != 0) return false;
    out.m_network = address;
    out.m_mask = mask;
    return true;
}

bool CIpv4Network::parseList(const std::string& text, std::vector<CIpv4Network>& out) {
    std::vector<CIpv4Network> networks;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        CIpv4Network network;
        if (!parse(trimmed(text.substr(start, comma - start)), network)) return false;
        networks.push_back(network);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    out = std::move(networks);
    return true;
}

}  // namespace tovi
