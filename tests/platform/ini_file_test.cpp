#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>

#include "support/test_support.h"

namespace tovi {
namespace {

class IniFileTest : public ::testing::Test {
  protected:
    void TearDown() override { CFileFaults::reset(); }
    void put(const std::string& text) { ASSERT_TRUE(replaceFileAtomically(m_path, text)); }
    std::string contents() const { return test::contents(m_path); }
    test::TempDir m_dir;
    std::string m_path = m_dir.file("tovi.ini");
};

TEST_F(IniFileTest, MissingGivesTheDefaultNamesIgnoreCaseBlanksAndQuotesAreStripped) {
    put("; comment=1\r\n  [ Server ]  \r\n  Port = 8000  \r\nName=\"a b\"\r\nEmpty=\r\n"
        ";Hidden=1\n");
    CIniFile ini(m_path);
    EXPECT_EQ(ini.getString("Other", "Port", "dflt"), "dflt");  // missing section
    EXPECT_EQ(CIniFile(m_dir.file("none.ini")).getInt("Server", "Port", 77), 77);  // missing file
    EXPECT_EQ(ini.getInt("SERVER", "port"), 8000);
    EXPECT_EQ(ini.getString("server", "NAME"), "a b");
    EXPECT_EQ(ini.getString("Server", "Empty", "dflt"), "");  // present but empty: not the default
    EXPECT_EQ(ini.getString("Server", "Hidden", "dflt"), "dflt");
    EXPECT_EQ(ini.getString("Server", "; comment", "dflt"), "dflt");
}

TEST_F(IniFileTest, Cp932NamesAreNotCaseFoldedInsideCharactersAndValuesAreBytes) {
    // 0x83 0x41 and 0x83 0x61 are two different katakana; their second bytes are 'A' and 'a'.
    put("[\x83\x41]\nk=1\n");
    CIniFile ini(m_path);
    EXPECT_EQ(ini.getInt("\x83\x41", "K", 0), 1);
    EXPECT_EQ(ini.getInt("\x83\x61", "k", -1), -1);
    // A ']' byte that is the second byte of a double-byte character does not close a section.
    put("[\x83\x5D]\nk=3\n");
    EXPECT_EQ(ini.getInt("\x83\x5D", "k", 0), 3);
    // Values are bytes: cp932 text is stored and read back unchanged.
    const std::string value = test::cp932("東京本社～①ｿｹｯﾄ \\ ]");
    ASSERT_TRUE(ini.writeString("\x83\x5D", "Office", value));
    EXPECT_EQ(contents(), "[\x83\x5D]\nk=3\nOffice=" + value + "\n");
    EXPECT_EQ(ini.getString("\x83\x5D", "office"), value);
}

TEST_F(IniFileTest, ReplacingAKeyKeepsEveryOtherByte) {
    const std::string before = std::string("; settings\r\n") +
                               "[General]\r\n"
                               "Name=first\r\n"
                               "\r\n"
                               "[Server]\n"
                               "  PORT = 8000 \r\n" +
                               std::string("\0\0\0\n", 4) +
                               "no equals sign here\n"
                               "[broken\n"
                               "Host=alpha\n"
                               "[Tail]\n"
                               "last=1";  // no line end
    put(before);
    CIniFile ini(m_path);
    ASSERT_TRUE(ini.writeInt("server", "Port", 9001));
    std::string expected = before;
    const std::string oldLine = "  PORT = 8000 \r\n";
    expected.replace(expected.find(oldLine), oldLine.size(), "  PORT =9001\n");
    EXPECT_EQ(contents(), expected);
    EXPECT_EQ(ini.getInt("Server", "Port"), 9001);

    ASSERT_TRUE(ini.writeString("Tail", "LAST", "2"));
    expected.replace(expected.size() - 6, 6, "last=2\n");
    EXPECT_EQ(contents(), expected);
}

TEST_F(IniFileTest, NewKeyGoesAfterTheLastLineOfItsSectionAndNewSectionsAtTheEnd) {
    CIniFile ini(m_path);
    ASSERT_TRUE(ini.writeString("First", "k", "v"));  // no file yet
    EXPECT_EQ(contents(), "[First]\nk=v\n");
    put("[A]\nx=1\n\n[B]\ny=2\n; note\n\n\n[C]\nz=3");
    ASSERT_TRUE(ini.writeString("b", "New", "5"));
    EXPECT_EQ(contents(), "[A]\nx=1\n\n[B]\ny=2\n; note\nNew=5\n\n\n[C]\nz=3");
    ASSERT_TRUE(ini.writeString("C", "w", "4"));  // last line without a line end
    ASSERT_TRUE(ini.writeString("N", "k", "v"));
    EXPECT_EQ(contents(), "[A]\nx=1\n\n[B]\ny=2\n; note\nNew=5\n\n\n[C]\nz=3\nw=4\n[N]\nk=v\n");
    EXPECT_EQ(ini.getInt("B", "new"), 5);
}

// A value that begins or ends with a blank or a quote would come back trimmed or unquoted: it is
// written quoted, and a quoted value read back and written again keeps its text.
TEST_F(IniFileTest, EveryValueReadsBackAsWritten) {
    CIniFile ini(m_path);
    const std::pair<std::string, std::string> cases[] = {
        {"bob ", "\"bob \""},
        {"\tbob", "\"\tbob\""},
        {"\"bob\"", "\"\"bob\"\""},
        {"\"", "\"\"\""},
        {"a\"", "\"a\"\""},
        {"a b", "a b"},
        {"", ""},
        {test::cp932("山田 "), "\"" + test::cp932("山田 ") + "\""}};
    for (const auto& [value, line] : cases) {
        ASSERT_TRUE(ini.writeString("USER", "NAME", value));
        EXPECT_EQ(contents(), "[USER]\nNAME=" + line + "\n") << value;
        EXPECT_EQ(ini.getString("USER", "NAME", "dflt"), value);
    }
    put("[USER]\nNAME= \"  spaced \"  \n");
    const std::string kept = ini.getString("USER", "NAME");
    EXPECT_EQ(kept, "  spaced ");
    ASSERT_TRUE(ini.writeString("USER", "NAME", kept));
    EXPECT_EQ(ini.getString("USER", "NAME"), kept);
}

TEST_F(IniFileTest, IntegersReadLikeAtoi) {
    put("[I]\nneg=-42\nlead=12abc\ngarbage=abc\nempty=\nbig=99999999999\nspaced= -3 \n");
    CIniFile ini(m_path);
    const std::pair<const char*, int> cases[] = {{"neg", -42}, {"lead", 12},     {"garbage", 0},
                                                 {"empty", 0}, {"big", INT_MAX}, {"spaced", -3}};
    for (const auto& [key, value] : cases) EXPECT_EQ(ini.getInt("I", key, 1), value) << key;
    ASSERT_TRUE(ini.writeInt("I", "neg", INT_MIN));
    EXPECT_NE(contents().find("neg=-2147483648\n"), std::string::npos);
}

TEST_F(IniFileTest, FailedWriteKeepsTheOldFileWhole) {
    const std::string before = "[S]\r\nk=old\r\n[T]\nm=1\n";
    put(before);
    CIniFile ini(m_path);

    // The file layer's atomic replacement is what keeps it (its own tests cover the rename).
    CFileFaults::failWritesAfter(5);
    EXPECT_FALSE(ini.writeString("S", "k", "new"));
    CFileFaults::reset();
    EXPECT_EQ(contents(), before);
    EXPECT_FALSE(fileExists(m_path + ".tmp"));

    // Text that could not be read back as written is refused.
    EXPECT_FALSE(ini.writeString("S", "k", "two\nlines"));
    EXPECT_FALSE(ini.writeString("S", "a=b", "1"));
    EXPECT_FALSE(ini.writeString("S]", "k", "1"));
    EXPECT_EQ(contents(), before);
}

// An operator's Tovis.ini may be a link into another directory and may be kept private: a
// rewrite goes to the file the link names and keeps the file's permission bits.
TEST_F(IniFileTest, RewriteKeepsPermissionBitsAndWritesThroughASymbolicLink) {
    ASSERT_TRUE(makeDirectories(m_dir.file("etc")));
    const std::string real = m_dir.file("etc/real.ini");
    ASSERT_TRUE(replaceFileAtomically(real, "[S]\nk=1\n"));
    ASSERT_EQ(::chmod(real.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("etc/real.ini", m_path.c_str()), 0);  // relative to the link's directory
    CIniFile ini(m_path);
    ASSERT_TRUE(ini.writeInt("S", "k", 2));
    struct stat st;
    ASSERT_EQ(::lstat(m_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(contents(), "[S]\nk=2\n");
    EXPECT_FALSE(fileExists(real + ".tmp"));
}

}  // namespace
}  // namespace tovi
