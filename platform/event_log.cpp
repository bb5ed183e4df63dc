#include "platform/event_log.h"

#include <unistd.h>

#include <mutex>

namespace tovi {

namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> s;
    return s;
}

}  // namespace

void logEvent(const std::string& line) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    if (sink()) {
        sink()(line);
        return;
    }
    const std::string text = "tovis: " + line + "\n";
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

void setEventLogSink(std::function<void(const std::string&)> s) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink() = std::move(s);
}

}  // namespace tovi
