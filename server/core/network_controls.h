// CNetworkControls: who may connect, read from [SERVER] of Tovis.ini. Each key is absent by
// default, and then the server behaves as it always has:
//
//   BIND     the IPv4 address to listen on (default: every local address)
//   ALLOW    a comma-separated list of IPv4 networks in CIDR form ("192.168.1.0/24, 10.0.0.5");
//            a connection from elsewhere is closed at once, before any byte is read
//   PERHOST  the most connections one address may hold (1..200); one more is closed at once
//
// A malformed value is never ignored: load() fails with a line naming the key and the value, and
// the server refuses to start. Refusals are counted by the server; a refused address is logged
// at most once a minute, so that a scan cannot flood the log.
//
// Read on the main thread at start, then used by the worker only.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/ini_file.h"
#include "platform/ipv4_network.h"

namespace tovi {

class CNetworkControls {
  public:
    // judge() results.
    static constexpr int ALLOWED = 0;
    static constexpr int NOT_ALLOWED = 1;  // outside ALLOW
    static constexpr int TOO_MANY = 2;     // PERHOST reached
    static constexpr int MAX_PER_HOST = 200;
    static constexpr int64_t LOG_INTERVAL_MS = 60000;

    // Reads the three keys; false with error naming the first malformed key and its value.
    bool load(const CIniFile& ini, std::string& error);

    // Empty: every local address.
    const std::string& bindAddress() const { return m_bind; }
    // peer: the connecting address (host order); held: how many connections it holds already.
    int judge(uint32_t peer, int held) const;
    // Whether a refusal of peer at nowMs (monotonic) is to be logged: the first one, and then
    // once LOG_INTERVAL_MS have passed since the last one logged.
    bool shouldLog(uint32_t peer, int64_t nowMs);
    int perHost() const { return m_perHost; }

  private:
    std::string m_bind;
    bool m_allowAll = true;
    std::vector<CIpv4Network> m_allow;
    int m_perHost = 0;  // 0: no limit
    std::unordered_map<uint32_t, int64_t> m_lastLogged;
};

// A one-line reason for a judge() result other than ALLOWED.
const char* refusalText(int verdict);

}  // namespace tovi
