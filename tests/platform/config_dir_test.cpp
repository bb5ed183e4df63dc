#include "platform/config_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "platform/file.h"

namespace tovi {
namespace {

class ConfigDirTest : public ::testing::Test {
protected:
    static constexpr const char* kVars[] = {"TOVI_CONFIG_DIR", "XDG_CONFIG_HOME", "HOME"};

    void SetUp() override {
        for (const char* v : kVars) {
            const char* value = getenv(v);
            m_saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
        }
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        m_cwd = cwd;
        char tmpl[] = "/tmp/tovi_cfg_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override {
        for (size_t i = 0; i < m_saved.size(); ++i) {
            if (m_saved[i])
                setenv(kVars[i], m_saved[i]->c_str(), 1);
            else
                unsetenv(kVars[i]);
        }
        EXPECT_EQ(chdir(m_cwd.c_str()), 0);
        std::filesystem::remove_all(m_dir);
    }
    std::vector<std::optional<std::string>> m_saved;
    std::string m_cwd;
    std::string m_dir;
};

TEST_F(ConfigDirTest, OptionThenVariablesInOrder) {
    setenv("TOVI_CONFIG_DIR", "/srv/tovi", 1);
    setenv("XDG_CONFIG_HOME", "/xdg/", 1);
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(configDirectory("/opt/conf"), "/opt/conf");
    EXPECT_EQ(configDirectory(""), "/srv/tovi");
    setenv("TOVI_CONFIG_DIR", "", 1);  // empty counts as unset
    EXPECT_EQ(configDirectory(""), "/xdg/tovi");
    unsetenv("TOVI_CONFIG_DIR");
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(configDirectory(""), "/home/u/.config/tovi");
    setenv("XDG_CONFIG_HOME", "relative/xdg", 1);  // not valid for XDG, passed over
    EXPECT_EQ(configDirectory(""), "/home/u/.config/tovi");
}

TEST_F(ConfigDirTest, EnterCreatesTheDirectoryAndMakesItCurrent) {
    const std::string dir = m_dir + "/a/b/tovi";
    std::string error;
    ASSERT_TRUE(enterConfigDirectory(dir, error)) << error;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::filesystem::canonical(cwd), std::filesystem::canonical(dir));
    ASSERT_TRUE(enterConfigDirectory(dir, error)) << error;  // already there

    ASSERT_TRUE(replaceFileAtomically(m_dir + "/file", ""));
    EXPECT_FALSE(enterConfigDirectory(m_dir + "/file/tovi", error));
    EXPECT_NE(error.find(m_dir + "/file/tovi"), std::string::npos) << error;
    EXPECT_FALSE(enterConfigDirectory("", error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tovi
