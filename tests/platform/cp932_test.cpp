#include "platform/cp932.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/test_support.h"

namespace tovi {
namespace {

using test::cp932;

TEST(Cp932Test, MicrosoftTableCharactersRoundTripAndAreCounted) {
    struct Case {
        const char* utf8;
        const char* cp932;
    } cases[] = {
        {"～", "\x81\x60"},            // U+FF5E, the wave dash people type
        {"－", "\x81\x7C"},            // U+FF0D
        {"＼", "\x81\x5F"},            // U+FF3C
        {"①", "\x87\x40"},             // NEC row 13
        {"㈱", "\x87\x8A"},            // NEC row 13
        {"ｿｹｯﾄ", "\xBF\xB9\xAF\xC4"},  // half-width katakana: one byte each
        {"Tovi ~\\", "Tovi ~\\"},      // ASCII stays ASCII, 0x5C and 0x7E included
        {"東京", "\x93\x8C\x8B\x9E"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cp932(c.utf8), c.cp932) << c.utf8;
        EXPECT_EQ(cp932ByteCount(c.utf8), static_cast<long>(std::strlen(c.cp932))) << c.utf8;
        std::string back;
        ASSERT_TRUE(cp932ToUtf8(c.cp932, back)) << c.utf8;
        EXPECT_EQ(back, c.utf8);
    }
    std::string longText;  // long enough to need several rounds of the conversion buffer
    for (int i = 0; i < 3000; ++i) longText += "漢字ｶﾅ";
    EXPECT_EQ(cp932ByteCount(longText), 3000L * 6);
    std::string back;
    ASSERT_TRUE(cp932ToUtf8(cp932(longText.c_str()), back));
    EXPECT_EQ(back, longText);
}

TEST(Cp932Test, RefusesWhatCp932CannotHold) {
    for (const char* bad : {"€", "😀", "price 5€", "ok😀", "\xC3", "\xFF\xFE", "\xED\xA0\x80"}) {
        std::string out = "unchanged";
        EXPECT_FALSE(utf8ToCp932(bad, out)) << bad;
        EXPECT_EQ(out, "unchanged");
        EXPECT_EQ(cp932ByteCount(bad), -1) << bad;
    }
    // glibc's table folds U+00A5 onto the backslash byte instead of refusing it.
    EXPECT_EQ(cp932("¥"), "\\");

    for (const char* bad : {"\x81", "a\x80", "\xA0", "\xFD\x40", "\x82"}) {
        std::string out = "unchanged";
        EXPECT_FALSE(cp932ToUtf8(bad, out)) << bad;
        EXPECT_EQ(out, "unchanged");
    }
    EXPECT_EQ(cp932ToUtf8Lossy("a\x80"
                               "b\x82\xA0"
                               "c\x81"),
              "a\uFFFDbあc\uFFFD");
}

TEST(Cp932Test, PrefixNeverEndsInsideADoubleByteCharacter) {
    const std::string text = cp932("aあb");  // 61 82 A0 62
    const size_t expected[] = {0, 1, 1, 3, 4};
    for (size_t limit = 0; limit < 5; ++limit)
        EXPECT_EQ(cp932PrefixLength(text, limit), expected[limit]) << limit;
    EXPECT_EQ(cp932PrefixLength(text, 100), 4u);
    // "＝" is 81 81: its second byte is in the lead range too and must not start a character.
    const std::string eq = cp932("＝＝a");
    ASSERT_EQ(eq,
              "\x81\x81\x81\x81"
              "a");
    EXPECT_EQ(cp932PrefixLength(eq, 3), 2u);
    EXPECT_EQ(cp932PrefixLength(eq, 5), 5u);
    EXPECT_EQ(cp932PrefixLength(cp932("ｿｹｯﾄ"), 3), 3u);  // half-width katakana: single bytes
}

}  // namespace
}  // namespace tovi
