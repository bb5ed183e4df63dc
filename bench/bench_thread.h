// CBenchThread: runs one job on a worker thread of its own, for the benchmark side that must read
// while the main thread writes (the recipient of a pipelined relay, for instance).
//
// The owner calls run() and join(); the job ends by itself (every job is bounded in time).
#pragma once

#include <functional>

#include "platform/worker_thread.h"

namespace tovi {

class CBenchThread : public CWorkerThread {
  public:
    explicit CBenchThread(std::function<void()> job) : m_job(std::move(job)) {}
    ~CBenchThread() override { join(); }

    bool run() { return start(); }

  protected:
    bool onIdle() override;

  private:
    std::function<void()> m_job;
};

}  // namespace tovi
