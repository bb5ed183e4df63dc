// The counting rule of the byte-limited edits and the conversion at the widget edge.
#include "client/dialogs/cp932_input.h"

#include <gtest/gtest.h>

#include "dialog_test_support.h"

namespace tovi {
namespace {

using test::cp932;

TEST(Cp932Input, CountsCp932BytesWithLineBreaksAsTwo) {
    EXPECT_EQ(CCp932Input::byteCount(""), 0);
    EXPECT_EQ(CCp932Input::byteCount("ab"), 2);
    EXPECT_EQ(CCp932Input::byteCount("あｱ①～"), 7);  // half-width kana takes one byte
    EXPECT_EQ(CCp932Input::byteCount("a\nb\n"), 6);
    EXPECT_EQ(CCp932Input::byteCount("한"), -1);
}

TEST(Cp932Input, WidgetEdgeTurnsCrLfIntoLfAndBack) {
    std::string back;
    const std::string stored = cp932("一行目") + "\r\n\r\nb";
    const std::string shown = CCp932Input::toWidget(stored);
    EXPECT_EQ(shown, "一行目\n\nb");
    ASSERT_TRUE(CCp932Input::fromWidget(shown, back));
    EXPECT_EQ(back, stored);
    EXPECT_EQ(CCp932Input::toWidget("a\rb"), "a\nb");
    EXPECT_FALSE(CCp932Input::fromWidget("한", back));
    EXPECT_EQ(back, stored);  // untouched on failure
}

}  // namespace
}  // namespace tovi
