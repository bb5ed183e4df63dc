// The conversion at the widget edge (the byte counting is met through the edits).
#include "client/dialogs/cp932_input.h"

#include <gtest/gtest.h>

#include "dialog_test_support.h"

namespace tovi {
namespace {

using test::cp932;

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
