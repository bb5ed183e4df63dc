// CRelayPinger: a pair of connected users relaying small mails back to back on a thread of its
// own (send, whole delivery, result, next), each sample timed; the benchmarks that attack the
// server or make it hand over held mail read from it how long the pair had to wait meanwhile.
//
// start() and stop() from one thread; the samples are read after stop().
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench/raw_client.h"

namespace tovi {

class CRelayPinger {
  public:
    struct Sample {
        int64_t startUs;
        double latencyUs;  // send to whole delivery
        double cycleUs;    // send to the sender's result
    };
    // The two users must be registered (and not connected); they are logged in here.
    bool start(int port, const std::string& from, const std::string& to, std::string& error);
    // Ends the thread; false when the relay failed (the reason in error()).
    bool stop();
    const std::vector<Sample>& samples() const { return m_samples; }
    const std::string& error() const { return m_error; }
    // Latencies of the samples that began in [fromUs, toUs) (all: 0, INT64_MAX).
    std::vector<double> latencies(int64_t fromUs, int64_t toUs) const;
    // The longest send-to-result cycle among the samples that ended after fromUs and began
    // before toUs.
    double longestCycle(int64_t fromUs, int64_t toUs) const;

  private:
    void run();
    CRawClient m_sender, m_recipient;
    std::string m_from, m_to;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::vector<Sample> m_samples;
    std::string m_error;
};

}  // namespace tovi
