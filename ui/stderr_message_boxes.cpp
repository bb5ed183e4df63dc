#include "ui/stderr_message_boxes.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/cp932.h"

namespace tovi {

int CStderrMessageBoxes::show(const std::string& text, int buttons) {
    (void)buttons;
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::string utf8 = cp932ToUtf8Lossy(text);
    if (utf8.empty() || utf8.back() != '\n') utf8 += '\n';
    std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    std::fflush(stderr);
    return IDOK;
}

namespace {
CStderrMessageBoxes g_default;
std::atomic<CMessageBoxes*> g_current{nullptr};
}  // namespace

void setMessageBoxes(CMessageBoxes* boxes) { g_current.store(boxes); }

CMessageBoxes& messageBoxes() {
    CMessageBoxes* current = g_current.load();
    return current ? *current : g_default;
}

}  // namespace tovi
