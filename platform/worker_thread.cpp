#include "platform/worker_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace tovi {

CWorkerThread::CWorkerThread() { m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

CWorkerThread::~CWorkerThread() {
    // A subclass whose steps can block stops its thread in its own destructor (requestAbort,
    // then join); here only the loop is told to end and is waited for.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit.store(true);
    }
    m_cond.notify_all();
    if (m_thread.joinable()) m_thread.join();
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

bool CWorkerThread::start() {
    bool expected = false;
    if (!m_started.compare_exchange_strong(expected, true)) return false;
    m_running.store(true);
    try {
        m_thread = std::thread([this] { run(); });
    } catch (...) {
        m_running.store(false);
        m_ended.store(true);
        return false;
    }
    return true;
}

bool CWorkerThread::postMessage(unsigned id, intptr_t wparam, intptr_t lparam, std::string data) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended.load()) return false;
        m_queue.push_back(ThreadMessage{id, wparam, lparam, std::move(data)});
        if (m_queue.size() == 1 && m_wakeFd >= 0) {
            uint64_t one = 1;
            ssize_t r = ::write(m_wakeFd, &one, sizeof one);
            (void)r;
        }
    }
    m_cond.notify_all();
    return true;
}

bool CWorkerThread::takeMessage(ThreadMessage& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty()) return false;
    out = std::move(m_queue.front());
    m_queue.pop_front();
    if (m_queue.empty() && m_wakeFd >= 0) {
        uint64_t value = 0;
        ssize_t r = ::read(m_wakeFd, &value, sizeof value);
        (void)r;
    }
    return true;
}

bool CWorkerThread::hasMessage() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_queue.empty();
}

void CWorkerThread::waitForMessage(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [this] { return !m_queue.empty() || m_quit.load() || m_aborted.load(); };
    if (timeoutMs < 0)
        m_cond.wait(lock, ready);
    else
        m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

void CWorkerThread::quit(int code) {
    m_exitCode.store(code);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit.store(true);
    }
    m_cond.notify_all();
}

void CWorkerThread::requestAbort() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_aborted.store(true);
        // An idle handler waiting on the wake descriptor sees the abort too.
        if (m_wakeFd >= 0) {
            uint64_t one = 1;
            ssize_t r = ::write(m_wakeFd, &one, sizeof one);
            (void)r;
        }
    }
    m_cond.notify_all();
    onAbort();
}

bool CWorkerThread::join(int timeoutMs) {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto ended = [this] { return m_ended.load() || !m_started.load(); };
        if (timeoutMs < 0) {
            m_cond.wait(lock, ended);
        } else if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), ended)) {
            return false;
        }
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
    return true;
}

void CWorkerThread::run() {
    if (initInstance()) {
        ThreadMessage message;
        while (!m_quit.load() && !m_aborted.load()) {
            if (takeMessage(message)) {
                onMessage(message);
                continue;
            }
            if (!onIdle()) waitForMessage(-1);
        }
    }
    exitInstance();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended.store(true);
        m_running.store(false);
    }
    m_cond.notify_all();
}

void lowerThisThreadsPriority() {
    const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 10);
    // The best-effort class at its lowest level (the idle class could starve it for good).
    constexpr int IOPRIO_WHO_PROCESS = 1;
    constexpr int IOPRIO_CLASS_BE = 2;
    ::syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, tid, (IOPRIO_CLASS_BE << 13) | 7);
}

}  // namespace tovi
