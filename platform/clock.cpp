#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace tovi {

namespace {
std::atomic<int32_t> g_offset{0};
}

int32_t nowSeconds() { return static_cast<int32_t>(::time(nullptr)) + g_offset.load(); }

int64_t monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepMs(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void setClockOffsetForTests(int32_t offsetSeconds) { g_offset.store(offsetSeconds); }

}  // namespace tovi
