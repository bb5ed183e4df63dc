#include "server/core/network_controls.h"

namespace tovi {

namespace {

constexpr const char* SECTION = "SERVER";

std::string malformed(const char* key, const std::string& value, const char* expected) {
    return std::string("Tovis.ini [SERVER] ") + key + "=" + value + " is not valid: " + expected;
}

}  // namespace

bool CNetworkControls::load(const CIniFile& ini, std::string& error) {
    CNetworkControls read;
    std::string value;
    value = ini.getString(SECTION, "BIND");
    if (!value.empty()) {
        uint32_t address = 0;
        if (!parseIpv4(value, address)) {
            error = malformed("BIND", value, "expected one IPv4 address such as 192.168.1.10");
            return false;
        }
        read.m_bind = value;
    }
    value = ini.getString(SECTION, "ALLOW");
    if (!value.empty()) {
        if (!CIpv4Network::parseList(value, read.m_allow)) {
            error = malformed("ALLOW", value,
                              "expected IPv4 networks such as 192.168.1.0/24, separated by commas");
            return false;
        }
        read.m_allowAll = false;
    }
    value = ini.getString(SECTION, "PERHOST");
    if (!value.empty()) {
        int n = 0;
        bool digits = value.size() <= 3;
        for (const char c : value) {
            digits = digits && c >= '0' && c <= '9';
            if (digits) n = n * 10 + (c - '0');
        }
        if (!digits || n < 1 || n > MAX_PER_HOST) {
            error = malformed("PERHOST", value, "expected a whole number from 1 to 200");
            return false;
        }
        read.m_perHost = n;
    }
    *this = std::move(read);
    return true;
}

int CNetworkControls::judge(uint32_t peer, int held) const {
    if (!m_allowAll) {
        bool inside = false;
        for (const CIpv4Network& n : m_allow) inside = inside || n.contains(peer);
        if (!inside) return NOT_ALLOWED;
    }
    if (m_perHost > 0 && held >= m_perHost) return TOO_MANY;
    return ALLOWED;
}

bool CNetworkControls::shouldLog(uint32_t peer, int64_t nowMs) {
    // Old entries go once the table grows, so that a scan of many addresses costs little.
    if (m_lastLogged.size() > 4096) {
        for (auto it = m_lastLogged.begin(); it != m_lastLogged.end();)
            it = nowMs - it->second >= LOG_INTERVAL_MS ? m_lastLogged.erase(it) : std::next(it);
    }
    const auto found = m_lastLogged.find(peer);
    if (found != m_lastLogged.end() && nowMs - found->second < LOG_INTERVAL_MS) return false;
    m_lastLogged[peer] = nowMs;
    return true;
}

const char* refusalText(int verdict) {
    return verdict == CNetworkControls::NOT_ALLOWED ? "not in ALLOW" : "PERHOST reached";
}

}  // namespace tovi
