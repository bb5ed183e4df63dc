// cp932 (the Microsoft Shift-JIS table) conversion. Every text below the windows is cp932 bytes;
// conversion to and from UTF-8 happens only where a widget shows or reads text, and at the file
// system boundary for paths. A character that cp932 cannot hold is refused, never replaced.
#pragma once

#include <cstddef>
#include <string>

namespace tovi {

// UTF-8 to cp932; false (out unchanged) when a character has no cp932 form or the input is not
// valid UTF-8.
bool utf8ToCp932(const std::string& utf8, std::string& out);
// cp932 to UTF-8; false when the bytes are not valid cp932.
bool cp932ToUtf8(const std::string& cp932, std::string& out);
// Number of cp932 bytes the UTF-8 text needs, -1 when it cannot be held.
long cp932ByteCount(const std::string& utf8);
// True when byte b starts a double-byte cp932 character.
bool isCp932LeadByte(unsigned char b);
// The longest prefix of text (cp932) of at most maxBytes bytes that does not end inside a
// double-byte character.
size_t cp932PrefixLength(const std::string& text, size_t maxBytes);
// A fixed UTF-8 text (a message, a mark) as cp932; empty when a character cannot be held.
std::string cp932Of(const char* utf8);
// Lossy cp932 to UTF-8 for diagnostics: invalid bytes become U+FFFD.
std::string cp932ToUtf8Lossy(const std::string& cp932);

}  // namespace tovi
