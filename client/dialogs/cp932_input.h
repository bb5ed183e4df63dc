// CCp932Input: the counting rule of the edits that stop typing at a number of cp932 bytes, in
// plain C++. A widget's text is Unicode with LF line breaks; what leaves it is cp932 with CR LF,
// so every LF counts 2. A character that cp932 cannot hold is never entered: the user is told so
// (NOT_CP932_TEXT) and the insertion is dropped whole.
#pragma once

#include <string>

namespace tovi {

class CCp932Input {
  public:
    // Bytes the UTF-8 text needs as cp932 with CR LF line breaks; -1 when cp932 cannot hold it.
    static long byteCount(const std::string& utf8);

    enum Verdict { FITS = 0, CUT = 1, REFUSED = 2 };
    // An insertion of utf8 where room bytes are free: FITS (keep all), CUT (keep the first
    // keepBytes bytes of utf8, whole characters only, possibly 0) or REFUSED (a character cp932
    // cannot hold; keepBytes 0).
    static Verdict fit(const std::string& utf8, long room, size_t& keepBytes);

    // Widget edge: cp932 with CR LF (or lone CR) to UTF-8 with LF; invalid bytes become U+FFFD.
    static std::string toWidget(const std::string& cp932);
    // Widget edge: UTF-8 with LF to cp932 with CR LF. False when cp932 cannot hold the text.
    static bool fromWidget(const std::string& utf8, std::string& cp932);

    // "cp932 で表せない文字は入力できません。\n": such a character was typed or pasted.
    static std::string notCp932Text();
};

}  // namespace tovi
