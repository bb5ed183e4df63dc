#include "client/app/app_text.h"

#include <map>
#include <mutex>

#include "platform/cp932.h"

namespace tovi {

const std::string& appText(const char* utf8) {
    static std::mutex lock;
    static std::map<std::string, std::string> cache;
    std::lock_guard<std::mutex> hold(lock);
    auto found = cache.find(utf8);
    if (found != cache.end()) return found->second;
    return cache.emplace(utf8, toCp932(utf8)).first->second;
}

std::string toCp932(const std::string& utf8) {
    std::string out;
    if (utf8ToCp932(utf8, out)) return out;
    // Character by character, so that one stray character does not lose the whole text.
    out.clear();
    for (size_t i = 0; i < utf8.size();) {
        size_t n = 1;
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c >= 0xf0)
            n = 4;
        else if (c >= 0xe0)
            n = 3;
        else if (c >= 0xc0)
            n = 2;
        std::string one;
        out += utf8ToCp932(utf8.substr(i, n), one) ? one : std::string("?");
        i += n;
    }
    return out;
}

}  // namespace tovi
