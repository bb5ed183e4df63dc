#include "platform/file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace tovi {
namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tovi_file_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override {
        CFileFaults::reset();
        std::filesystem::remove_all(m_dir);
    }
    std::string path(const std::string& name) const { return m_dir + "/" + name; }
    void put(const std::string& name, const std::string& text) {
        CFile f;
        ASSERT_TRUE(f.open(path(name), CFile::CREATE_TRUNCATE));
        ASSERT_TRUE(f.write(text.data(), text.size()));
        ASSERT_TRUE(f.close());
    }
    std::string contents(const std::string& name) {
        std::string text;
        EXPECT_TRUE(readWholeFile(path(name), text)) << name;
        return text;
    }
    std::string m_dir;
};

TEST_F(FileTest, OpenModes) {
    CFile f;
    EXPECT_FALSE(f.open(path("missing"), CFile::READ));
    EXPECT_FALSE(f.isOpen());
    EXPECT_NE(lastFileError().find("missing"), std::string::npos);
    EXPECT_FALSE(f.open(path("missing"), CFile::READ_WRITE));

    put("a", "hello world");
    ASSERT_TRUE(f.open(path("a"), CFile::CREATE_KEEP));
    EXPECT_EQ(f.size(), 11);
    ASSERT_TRUE(f.seekToEnd());
    ASSERT_TRUE(f.write("!", 1));
    ASSERT_TRUE(f.seek(0));
    ASSERT_TRUE(f.write("J", 1));
    ASSERT_TRUE(f.sync());
    ASSERT_TRUE(f.close());
    EXPECT_EQ(contents("a"), "Jello world!");

    ASSERT_TRUE(f.open(path("new"), CFile::CREATE_KEEP));  // created when missing
    EXPECT_EQ(f.size(), 0);
    ASSERT_TRUE(f.open(path("a"), CFile::CREATE_TRUNCATE));  // reopening closes the first
    EXPECT_EQ(f.size(), 0);
    char c;
    EXPECT_EQ(f.read(&c, 1), -1);  // write only
    f.close();
    EXPECT_TRUE(fileExists(path("new")));
    EXPECT_EQ(contents("a"), "");
}

TEST_F(FileTest, ShortReadsAtTheEnd) {
    put("r", "0123456789");
    CFile f;
    ASSERT_TRUE(f.open(path("r"), CFile::READ));
    char buf[16] = {};
    ASSERT_TRUE(f.seek(6));
    EXPECT_EQ(f.read(buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "6789");
    EXPECT_EQ(f.read(buf, sizeof buf), 0);
    ASSERT_TRUE(f.seek(2));
    ASSERT_TRUE(f.readExact(buf, 8));
    EXPECT_EQ(std::string(buf, 8), "23456789");
    ASSERT_TRUE(f.seek(5));
    EXPECT_FALSE(f.readExact(buf, 6));
    EXPECT_FALSE(f.write("x", 1));  // read only
    EXPECT_FALSE(f.seek(-1));
}

TEST_F(FileTest, WritesFailAfterTheInjectedByteCount) {
    CFile f;
    ASSERT_TRUE(f.open(path("w"), CFile::CREATE_TRUNCATE));
    CFileFaults::failWritesAfter(10);
    EXPECT_TRUE(f.write("abcd", 4));
    EXPECT_FALSE(f.write("efghijklmn", 10));  // 6 of them fit, like a disk filling up
    EXPECT_FALSE(f.write("z", 1));
    CFileFaults::reset();
    EXPECT_TRUE(f.write("Z", 1));
    f.close();
    EXPECT_EQ(contents("w"), "abcdefghijZ");

    CFileFaults::failOpensOf("secret");
    EXPECT_FALSE(f.open(path("secret.dat"), CFile::CREATE_KEEP));
    EXPECT_FALSE(fileExists(path("secret.dat")));
    EXPECT_TRUE(f.open(path("other.dat"), CFile::CREATE_KEEP));
}

TEST_F(FileTest, ReplaceFileAtomically) {
    ASSERT_TRUE(replaceFileAtomically(path("data"), "first"));  // creates the file
    ASSERT_TRUE(replaceFileAtomically(path("data"), "second, longer"));
    EXPECT_EQ(contents("data"), "second, longer");
    EXPECT_FALSE(fileExists(path("data.new")));

    CFileFaults::failWritesAfter(3);
    EXPECT_FALSE(replaceFileAtomically(path("data"), "third"));
    CFileFaults::reset();
    CFileFaults::failRenamesTo("data");
    EXPECT_FALSE(replaceFileAtomically(path("data"), "fourth", ".tmp"));
    CFileFaults::reset();
    CFileFaults::failOpensOf("data.new");
    EXPECT_FALSE(replaceFileAtomically(path("data"), "fifth"));
    CFileFaults::reset();
    EXPECT_EQ(contents("data"), "second, longer");
    EXPECT_FALSE(fileExists(path("data.new")));
    EXPECT_FALSE(fileExists(path("data.tmp")));

    EXPECT_FALSE(replaceFileAtomically(path("no/such/dir/data"), "x"));
}

TEST_F(FileTest, FindFilesGivesRegularFilesInByteOrder) {
    for (const char* name : {"b.log", "a.log", "A.log", "a.log.old", "c.txt", "ab.txt", "_.log"})
        put(name, "x");
    ASSERT_TRUE(makeDirectories(path("d.log")));
    ASSERT_EQ(symlink((m_dir + "/c.txt").c_str(), path("link.log").c_str()), 0);
    ASSERT_EQ(symlink((m_dir + "/d.log").c_str(), path("dirlink.log").c_str()), 0);

    EXPECT_EQ(findFiles(m_dir, "*.log"),
              (std::vector<std::string>{"A.log", "_.log", "a.log", "b.log", "link.log"}));
    EXPECT_EQ(findFiles(m_dir, "?.txt"), (std::vector<std::string>{"c.txt"}));
    EXPECT_EQ(findFiles(m_dir, "a*"), (std::vector<std::string>{"a.log", "a.log.old", "ab.txt"}));
    EXPECT_TRUE(findFiles(path("none"), "*").empty());
}

TEST(FilePatternTest, StarsAndQuestionMarks) {
    EXPECT_TRUE(matchesPattern("", "*"));
    EXPECT_TRUE(matchesPattern("", ""));
    EXPECT_FALSE(matchesPattern("", "?"));
    EXPECT_TRUE(matchesPattern("aXbYbZc", "a*b*c"));
    EXPECT_TRUE(matchesPattern("aab", "*ab"));  // needs back-tracking
    EXPECT_TRUE(matchesPattern("msg0001.dat", "msg????.dat"));
    EXPECT_FALSE(matchesPattern("msg001.dat", "msg????.dat"));
    EXPECT_FALSE(matchesPattern("Msg.dat", "msg*"));  // case matters
    EXPECT_FALSE(matchesPattern("abc", "*.*"));
    EXPECT_FALSE(matchesPattern("abcd", "abc"));
    EXPECT_TRUE(matchesPattern("a*", "a?"));
}

TEST_F(FileTest, DirectoriesAndPathParts) {
    ASSERT_TRUE(makeDirectories(path("x/y/z")));
    EXPECT_TRUE(isDirectory(path("x/y/z")));
    EXPECT_TRUE(makeDirectories(path("x/y/z/")));  // already there
    put("plain", "");
    EXPECT_FALSE(makeDirectories(path("plain/sub")));
    EXPECT_FALSE(isDirectory(path("plain")));
    EXPECT_FALSE(fileExists(path("x")));
    EXPECT_TRUE(syncDirectory(m_dir));

    EXPECT_TRUE(removeFile(path("plain")));
    EXPECT_FALSE(removeFile(path("plain")));
    put("from", "1");
    put("to", "2");
    ASSERT_TRUE(renameFile(path("from"), path("to")));
    EXPECT_EQ(contents("to"), "1");

    EXPECT_EQ(directoryOf("a/b/c.ini"), "a/b");
    EXPECT_EQ(directoryOf("c.ini"), ".");
    EXPECT_EQ(directoryOf("/c.ini"), "/");
    EXPECT_EQ(directoryOf("a//c.ini"), "a");
}

}  // namespace
}  // namespace tovi
