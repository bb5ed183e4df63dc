// The worker thread's message loop: order, messages posted early, quitting and the cooperative
// immediate end.
#include "platform/worker_thread.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace tovi {
namespace {

class Recorder : public CWorkerThread {
  public:
    ~Recorder() override { join(5000); }
    std::vector<unsigned> seen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }
    std::atomic<int> idlePasses{0};

  protected:
    void onMessage(const ThreadMessage& m) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_seen.push_back(m.id);
        }
        if (m.id == 99) quit(7);
    }
    bool onIdle() override {
        ++idlePasses;
        return false;
    }

  private:
    std::mutex m_mutex;
    std::vector<unsigned> m_seen;
};

TEST(WorkerThread, MessagesPostedBeforeTheStartAreHandledInOrderAndAnIdleThreadSleeps) {
    Recorder r;  // not started: messages stay queued, and its descriptor tells of them
    pollfd p{r.wakeFd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    EXPECT_TRUE(r.postMessage(1));
    EXPECT_EQ(poll(&p, 1, 0), 1);
    EXPECT_TRUE(r.postMessage(2));
    EXPECT_TRUE(r.start());
    EXPECT_FALSE(r.start());
    for (int i = 0; i < 200 && r.seen().size() < 2; ++i) sleepMs(5);
    sleepMs(200);
    EXPECT_LE(r.idlePasses.load(), 2);  // no spinning while nothing happens
    p.revents = 0;
    EXPECT_EQ(poll(&p, 1, 0), 0);
    EXPECT_TRUE(r.postMessage(3));
    EXPECT_TRUE(r.postMessage(99));
    EXPECT_TRUE(r.join(5000));
    EXPECT_EQ(r.seen(), (std::vector<unsigned>{1, 2, 3, 99}));
    EXPECT_EQ(r.exitCode(), 7);
    EXPECT_FALSE(r.isRunning());
    EXPECT_FALSE(r.postMessage(4));
}

class Blocker : public CWorkerThread {
  public:
    ~Blocker() override { join(5000); }
    std::atomic<bool> aborting{false};
    std::atomic<int> stepsAfterAbort{0};

  protected:
    bool onIdle() override {
        // A step that blocks until it is told to stop, as a socket read would.
        while (!aborting.load()) sleepMs(1);
        if (aborted()) return true;
        ++stepsAfterAbort;
        return true;
    }
    void onAbort() override { aborting = true; }
};

TEST(WorkerThread, AbortEndsABlockedStepAndNothingRunsAfterIt) {
    Blocker b;
    ASSERT_TRUE(b.start());
    sleepMs(50);
    EXPECT_FALSE(b.join(50));
    b.requestAbort();
    EXPECT_TRUE(b.join(2000));
    EXPECT_TRUE(b.aborted());
    EXPECT_EQ(b.stepsAfterAbort.load(), 0);
}

}  // namespace
}  // namespace tovi
