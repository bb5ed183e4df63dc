#include "client/dialogs/cp932_input.h"

#include <algorithm>

#include "platform/cp932.h"

namespace tovi {

namespace {

// Length of the UTF-8 character starting with byte c (1 for a stray byte).
size_t utf8Length(unsigned char c) {
    if (c >= 0xF0) return 4;
    if (c >= 0xE0) return 3;
    if (c >= 0xC0) return 2;
    return 1;
}

}  // namespace

long CCp932Input::byteCount(const std::string& utf8) {
    const long bytes = cp932ByteCount(utf8);
    if (bytes < 0) return -1;
    return bytes + static_cast<long>(std::count(utf8.begin(), utf8.end(), '\n'));
}

CCp932Input::Verdict CCp932Input::fit(const std::string& utf8, long room, size_t& keepBytes) {
    keepBytes = 0;
    std::string unused;
    if (!utf8ToCp932(utf8, unused)) return REFUSED;
    long used = 0;
    size_t i = 0;
    while (i < utf8.size()) {
        const size_t len =
            std::min(utf8Length(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
        const long need = byteCount(utf8.substr(i, len));
        if (used + need > room) {
            keepBytes = i;
            return CUT;
        }
        used += need;
        i += len;
    }
    keepBytes = utf8.size();
    return FITS;
}

std::string CCp932Input::toWidget(const std::string& cp932) {
    std::string lf;
    lf.reserve(cp932.size());
    for (size_t i = 0; i < cp932.size(); ++i) {
        if (cp932[i] == '\r') {
            lf += '\n';
            if (i + 1 < cp932.size() && cp932[i + 1] == '\n') ++i;
        } else {
            lf += cp932[i];
        }
    }
    return cp932ToUtf8Lossy(lf);
}

bool CCp932Input::fromWidget(const std::string& utf8, std::string& cp932) {
    std::string bytes;
    if (!utf8ToCp932(utf8, bytes)) return false;
    std::string out;
    out.reserve(bytes.size() + 64);
    for (char c : bytes) {
        if (c == '\n') out += '\r';
        out += c;
    }
    cp932 = std::move(out);
    return true;
}

std::string CCp932Input::notCp932Text() {
    return cp932Of("cp932 で表せない文字は入力できません。\n");
}

}  // namespace tovi
