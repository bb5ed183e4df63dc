#include "platform/file.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tovi {
namespace {

class FileTest : public ::testing::Test {
  protected:
    void TearDown() override { CFileFaults::reset(); }
    std::string path(const std::string& name) const { return m_dir.file(name); }
    std::string contents(const std::string& name) const { return test::contents(path(name)); }
    test::TempDir m_dir;
};

TEST_F(FileTest, CreateKeepAppendsAndReadExactRefusesAShortRead) {
    ASSERT_TRUE(replaceFileAtomically(path("a"), "hello world"));
    CFile f;
    EXPECT_FALSE(f.open(path("missing"), CFile::READ_WRITE));
    ASSERT_TRUE(f.open(path("a"), CFile::CREATE_KEEP));
    EXPECT_EQ(f.size(), 11);
    ASSERT_TRUE(f.seekToEnd() && f.write("!", 1) && f.seek(0) && f.write("J", 1) && f.sync());
    char buf[16];
    ASSERT_TRUE(f.seek(6));
    EXPECT_FALSE(f.readExact(buf, 7));
    ASSERT_TRUE(f.seek(6));
    EXPECT_EQ(f.read(buf, sizeof buf), 6);
    ASSERT_TRUE(f.close());
    EXPECT_EQ(contents("a"), "Jello world!");
}

TEST_F(FileTest, AFailedReplacementKeepsTheOldFileAndLeavesNoCompanion) {
    ASSERT_TRUE(replaceFileAtomically(path("data"), "first"));
    ASSERT_TRUE(replaceFileAtomically(path("data"), "second, longer"));
    CFileFaults::failWritesAfter(3);
    EXPECT_FALSE(replaceFileAtomically(path("data"), "third"));
    CFileFaults::reset();
    CFileFaults::failRenamesTo("data");
    EXPECT_FALSE(replaceFileAtomically(path("data"), "fourth", ".tmp"));
    CFileFaults::reset();
    EXPECT_EQ(contents("data"), "second, longer");
    EXPECT_FALSE(fileExists(path("data.new")));
    EXPECT_FALSE(fileExists(path("data.tmp")));
    EXPECT_FALSE(replaceFileAtomically(path("no/such/dir/data"), "x"));
}

TEST_F(FileTest, FindFilesGivesMatchingRegularFilesInByteOrder) {
    for (const char* name : {"b.log", "a.log", "A.log", "a.log.old", "_.log", "msg001.log"})
        ASSERT_TRUE(replaceFileAtomically(path(name), "x"));
    ASSERT_TRUE(makeDirectories(path("d.log/sub")));
    EXPECT_EQ(findFiles(m_dir.path, "*.log"),
              (std::vector<std::string>{"A.log", "_.log", "a.log", "b.log", "msg001.log"}));
    EXPECT_EQ(findFiles(m_dir.path, "a*"), (std::vector<std::string>{"a.log", "a.log.old"}));
    EXPECT_EQ(findFiles(m_dir.path, "msg????.log"), std::vector<std::string>{});
    EXPECT_EQ(findFiles(m_dir.path, "msg???.log"), std::vector<std::string>{"msg001.log"});
    EXPECT_TRUE(matchesPattern("aab", "*ab"));  // needs back-tracking
    EXPECT_FALSE(matchesPattern("Msg.dat", "msg*"));
    EXPECT_TRUE(findFiles(path("none"), "*").empty());
}

}  // namespace
}  // namespace tovi
