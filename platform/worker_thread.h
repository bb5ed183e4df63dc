// CWorkerThread: a thread with its own message queue and an idle handler, the stand-in for the
// framework's worker-thread class. Messages are carried by value and handled in the order posted,
// between idle passes. A message posted before the thread runs (or before it first waits) is
// kept and handled; none is ever lost.
//
// Ending a thread "at once" is cooperative: requestAbort() sets a flag and calls onAbort() on the
// calling thread, where a subclass closes or interrupts its socket, so that the worker's blocked
// step fails and no further step runs (subclasses test aborted() after every blocking step).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace tovi {

struct ThreadMessage {
    unsigned id = 0;
    intptr_t wparam = 0;
    intptr_t lparam = 0;
    std::string data;  // a copy of any bytes the message carries
};

class CWorkerThread {
  public:
    CWorkerThread();
    virtual ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts the thread: initInstance(), then the message loop until quit(). False when the
    // thread could not be created or was started before.
    bool start();
    // Queues a message; false only when the thread has already ended.
    bool postMessage(unsigned id, intptr_t wparam = 0, intptr_t lparam = 0, std::string data = {});
    // True from start() until the loop has ended.
    bool isRunning() const { return m_running.load(); }
    // Waits for the thread to end, at most timeoutMs (-1: no limit). True when it has ended.
    bool join(int timeoutMs = -1);
    int exitCode() const { return m_exitCode.load(); }

    // Cooperative immediate end; see the header comment. Safe from any thread.
    void requestAbort();
    bool aborted() const { return m_aborted.load(); }

    // A file descriptor that is readable while a message waits (and after requestAbort): the
    // idle handler may wait on it together with its sockets instead of sleeping.
    int wakeFd() const { return m_wakeFd; }

  protected:
    virtual bool initInstance() { return true; }
    virtual void onMessage(const ThreadMessage& message) { (void)message; }
    // One idle pass; return true to be called again at once, false to wait for the next message.
    virtual bool onIdle() { return false; }
    virtual void onAbort() {}
    virtual void exitInstance() {}

    // Ends the loop after the current step with the exit code.
    void quit(int code);
    bool hasMessage() const;
    // Sleeps up to timeoutMs, waking early when a message is posted.
    void waitForMessage(int timeoutMs);

  private:
    void run();
    bool takeMessage(ThreadMessage& out);

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<ThreadMessage> m_queue;
    std::thread m_thread;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_quit{false};
    std::atomic<bool> m_aborted{false};
    std::atomic<int> m_exitCode{0};
    int m_wakeFd = -1;
};

// Lowers the calling thread's processor and disk priority, for background work (rewriting a
// file) that must not delay a thread that serves people. Nothing happens where that fails.
void lowerThisThreadsPriority();

}  // namespace tovi
