#include "platform/cp932.h"

#include <iconv.h>

#include <cerrno>

namespace tovi {

namespace {

const iconv_t kNoHandle = reinterpret_cast<iconv_t>(-1);

// An iconv handle keeps conversion state and must not be used by two threads at once, so each
// thread opens its own pair on first use and keeps it until it ends. Always "CP932": glibc's
// "SHIFT_JIS" is the JIS table, which lacks the NEC and IBM rows and maps ～ － ＼ differently.
struct Converters {
    iconv_t toCp932 = kNoHandle;
    iconv_t toUtf8 = kNoHandle;
    ~Converters() {
        if (toCp932 != kNoHandle) iconv_close(toCp932);
        if (toUtf8 != kNoHandle) iconv_close(toUtf8);
    }
};

iconv_t converter(bool toCp932) {
    thread_local Converters c;
    iconv_t& h = toCp932 ? c.toCp932 : c.toUtf8;
    if (h == kNoHandle) h = toCp932 ? iconv_open("CP932", "UTF-8") : iconv_open("UTF-8", "CP932");
    return h;
}

// Runs the whole input through cd. Strict: any byte sequence that cannot be converted (EILSEQ)
// or that stops half way at the end (EINVAL) fails the call. Lossy: such a byte becomes U+FFFD
// (only used towards UTF-8) and the conversion goes on at the next byte.
bool convert(iconv_t cd, const std::string& in, std::string& out, bool lossy) {
    if (cd == kNoHandle) return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    std::string result;
    result.reserve(in.size() * 3 / 2 + 8);
    char* inp = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char buf[4096];
    while (inLeft > 0) {
        char* outp = buf;
        size_t outLeft = sizeof buf;
        size_t rc = iconv(cd, &inp, &inLeft, &outp, &outLeft);
        int err = errno;
        result.append(buf, static_cast<size_t>(outp - buf));
        if (rc != static_cast<size_t>(-1)) continue;
        if (err == E2BIG) continue;
        if (lossy && (err == EILSEQ || err == EINVAL)) {
            result += "\xEF\xBF\xBD";
            ++inp;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        return false;
    }
    char* outp = buf;
    size_t outLeft = sizeof buf;
    if (iconv(cd, nullptr, nullptr, &outp, &outLeft) == static_cast<size_t>(-1)) return false;
    result.append(buf, static_cast<size_t>(outp - buf));
    out = std::move(result);
    return true;
}

}  // namespace

bool utf8ToCp932(const std::string& utf8, std::string& out) {
    return convert(converter(true), utf8, out, false);
}

bool cp932ToUtf8(const std::string& cp932, std::string& out) {
    return convert(converter(false), cp932, out, false);
}

long cp932ByteCount(const std::string& utf8) {
    std::string bytes;
    if (!utf8ToCp932(utf8, bytes)) return -1;
    return static_cast<long>(bytes.size());
}

bool isCp932LeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

size_t cp932PrefixLength(const std::string& text, size_t maxBytes) {
    // A lead byte takes the next byte with it whatever that byte is. A lead byte that is the very
    // last byte of the text stands alone, so a text that fits is always kept whole.
    size_t i = 0;
    while (i < text.size()) {
        size_t len =
            isCp932LeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() ? 2 : 1;
        if (i + len > maxBytes) break;
        i += len;
    }
    return i;
}

std::string cp932Of(const char* utf8) {
    std::string out;
    utf8ToCp932(utf8, out);
    return out;
}

std::string cp932ToUtf8Lossy(const std::string& cp932) {
    std::string out;
    if (!convert(converter(false), cp932, out, true)) {
        // No converter at all: keep the ASCII bytes so the message stays readable.
        out.clear();
        for (unsigned char c : cp932) {
            if (c < 0x80)
                out += static_cast<char>(c);
            else
                out += "\xEF\xBF\xBD";
        }
    }
    return out;
}

}  // namespace tovi
