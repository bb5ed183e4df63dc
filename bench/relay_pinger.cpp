#include "bench/relay_pinger.h"

#include <cstring>

#include "bench/bench_common.h"
#include "protocol/packets.h"

namespace tovi {

bool CRelayPinger::start(int port, const std::string& from, const std::string& to,
                         std::string& error) {
    m_from = from;
    m_to = to;
    if (!m_sender.connect(port) || m_sender.login(from.c_str()) != 0 ||
        !m_recipient.connect(port) || m_recipient.login(to.c_str()) != 0) {
        error = "the relaying pair could not log in";
        return false;
    }
    m_samples.reserve(1 << 20);
    m_thread = std::thread([this] { run(); });
    return true;
}

bool CRelayPinger::stop() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    m_sender.close();
    m_recipient.close();
    return m_error.empty();
}

void CRelayPinger::run() {
    const std::string text(100, 'p');
    char packet[8 + MAX_MAIL_BODY];
    const size_t bodyLength = buildMail(packet + 8, SEND_TO_USER, m_to.c_str(), "", MAIL_MESSAGE,
                                        m_from.c_str(), 2, text.data(), text.size());
    putFrameHeader(packet, PKT_MAIL, static_cast<int32_t>(bodyLength));
    for (int32_t token = 2; !m_stop; ++token) {
        putInt32(packet + 8 + 68, token);
        const int64_t t0 = benchMicros();
        if (!m_sender.socket().Write(packet, static_cast<unsigned>(8 + bodyLength))) {
            m_error = "the pair's send failed";
            return;
        }
        int32_t type = 0;
        const char* body = nullptr;
        uint32_t length = 0;
        // Generous: a server that waits inside other connections is measured, not failed.
        if (!m_recipient.readPacket(type, body, length, 120)) {
            m_error = "the pair's mail was not delivered within 120 s";
            return;
        }
        const int64_t t1 = benchMicros();
        Delivery d;
        if (type != PKT_MAIL || !parseDelivery(body, length, d) || d.token != token) {
            m_error = "the pair's delivery came with wrong bytes";
            return;
        }
        int32_t failed = -1, reason = -1;
        if (!m_sender.readResult(PKT_MAIL_RESULT, failed, reason, 120) || failed != 0) {
            m_error = "the pair's mail was not answered (51,0,0)";
            return;
        }
        m_samples.push_back({t0, double(t1 - t0), double(benchMicros() - t0)});
    }
}

std::vector<double> CRelayPinger::latencies(int64_t fromUs, int64_t toUs) const {
    std::vector<double> out;
    for (const Sample& s : m_samples)
        if (s.startUs >= fromUs && s.startUs < toUs) out.push_back(s.latencyUs);
    return out;
}

double CRelayPinger::longestCycle(int64_t fromUs, int64_t toUs) const {
    double longest = 0;
    for (const Sample& s : m_samples)
        if (s.startUs + int64_t(s.cycleUs) > fromUs && s.startUs < toUs && s.cycleUs > longest)
            longest = s.cycleUs;
    return longest;
}

}  // namespace tovi
