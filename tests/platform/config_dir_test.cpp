#include "platform/config_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "support/test_support.h"

namespace tovi {
namespace {

TEST(ConfigDir, OptionThenVariablesInOrderAndEnteringCreatesIt) {
    const char* home = getenv("HOME");
    const std::string savedHome = home ? home : "";
    setenv("TOVI_CONFIG_DIR", "/srv/tovi", 1);
    setenv("XDG_CONFIG_HOME", "/xdg/", 1);
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(configDirectory("/opt/conf"), "/opt/conf");
    EXPECT_EQ(configDirectory(""), "/srv/tovi");
    setenv("TOVI_CONFIG_DIR", "", 1);  // empty counts as unset
    EXPECT_EQ(configDirectory(""), "/xdg/tovi");
    setenv("XDG_CONFIG_HOME", "relative/xdg", 1);  // not valid for XDG, passed over
    EXPECT_EQ(configDirectory(""), "/home/u/.config/tovi");
    unsetenv("TOVI_CONFIG_DIR");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", savedHome.c_str(), 1);

    test::TempDir dir;
    const auto cwd = std::filesystem::current_path();
    std::string error;
    ASSERT_TRUE(enterConfigDirectory(dir.file("a/b/tovi"), error)) << error;
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(dir.file("a/b/tovi")));
    ASSERT_TRUE(replaceFileAtomically(dir.file("file"), ""));
    EXPECT_FALSE(enterConfigDirectory(dir.file("file/tovi"), error));
    EXPECT_NE(error.find(dir.file("file/tovi")), std::string::npos) << error;
    std::filesystem::current_path(cwd);
}

}  // namespace
}  // namespace tovi
