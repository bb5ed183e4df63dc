// Tovic.ini through CClientSettings: defaults, write-through with compare first, the directory
// refusal, failed writes and cut texts.
#include "client/dialogs/client_settings.h"

#include <gtest/gtest.h>

#include "client_test_support.h"
#include "platform/file.h"
#include "platform/ini_file.h"
#include "ui/scripted_message_boxes.h"

namespace tovi::test {
namespace {

struct IniFixture {
    TempDir root;
    std::string path = root.path + "Tovic.ini";
    CScriptedMessageBoxes boxes;
    CClientSettings s;
    ~IniFixture() { CFileFaults::reset(); }
    // Writes the file and loads it.
    void load(const std::string& text) {
        ASSERT_TRUE(replaceFileAtomically(path, text));
        ASSERT_EQ(s.load(path), 1);
    }
    std::string text() const { return contents(path); }
    // name|group|address|port|dir|beep|winUp as the object holds them.
    std::string values() const {
        return s.name() + "|" + s.group() + "|" + s.address() + "|" + std::to_string(s.port()) +
               "|" + s.dir() + "|" + std::to_string(s.beep()) + "|" + std::to_string(s.winUp());
    }
};

// Without a file nothing is read and the port stays 0, till the first start stores 6998 there.
// A file without a port, or with PORT=0, gives 6998 in memory and in the file.
TEST(ClientSettings, LoadGivesDefaultsAMissingOrZeroPortBecomes6998LongTextsAreCutOnACharBoundary) {
    IniFixture none;
    EXPECT_EQ(none.s.load(none.path), 0);
    EXPECT_EQ(none.s.port(), 0);
    EXPECT_FALSE(fileExists(none.path));
    EXPECT_EQ(none.s.setPort(6998), 1);
    EXPECT_EQ(CIniFile(none.path).getInt("SERVER", "PORT", -1), 6998);
    for (const char* text :
         {"[SERVER]\nADDRESS=10.0.0.1\n", "[SERVER]\nPORT=0\nADDRESS=10.0.0.1\n"}) {
        IniFixture f;
        f.load(text);
        EXPECT_EQ(f.values(), "||10.0.0.1|6998||0|0");
        EXPECT_EQ(CIniFile(f.path).getInt("SERVER", "PORT", -1), 6998) << text;
    }
    IniFixture f;  // long texts are cut on a character boundary
    // 19 ASCII bytes and then a double-byte character: 21 bytes, cut to 19.
    f.load("[SERVER]\nPORT=7000\nADDRESS=" + std::string(30, '1') +
           "\n[USER]\nNAME=" + std::string(19, 'n') + cp932("漢") + "\n");
    EXPECT_EQ(f.values(), std::string(19, 'n') + "||" + std::string(23, '1') + "|7000||0|0");
    const std::string group = cp932("営業部第一課の皆さん、こんにちは");  // 32 bytes
    EXPECT_EQ(f.s.setIdentity(f.s.name().c_str(), group.c_str(), nullptr), 1);
    EXPECT_EQ(f.s.group(), group.substr(0, 20));
    EXPECT_EQ(CIniFile(f.path).getString("USER", "GROUP"), group.substr(0, 20));
}

// Setters return 1 when the name or group changed, 0 otherwise, and write only changed keys.
TEST(ClientSettings, SettersWriteOnlyWhatChangedAndReportNameOrGroupChanges) {
    IniFixture f;
    f.load(
        "; kept\n[SERVER]\nPORT=7000\nADDRESS=10.0.0.1\n[USER]\nNAME=alice\nGROUP=sales\n"
        "DIR=/a/\nBEEP=1\n");
    const std::string before = f.text();
    EXPECT_EQ(f.s.setIdentity("alice", "sales", "10.0.0.1"), 0);
    EXPECT_EQ(f.s.setUserOptions("/a/", 1, 0, 0, 0), 0);
    EXPECT_EQ(f.s.setSaveDir(""), 1);
    EXPECT_EQ(f.text(), before);  // not even rewritten with the same bytes: no READBEEP=0 added
    EXPECT_EQ(f.s.setUserOptions("/b/", 1, 0, 0, 0), 0);
    EXPECT_EQ(f.s.setIdentity("alice", "sales", "10.0.0.2"), 0);
    // Names compare case-sensitively; a null address is left alone.
    EXPECT_EQ(f.s.setIdentity("Alice", "sales", nullptr), 1);
    // A directory without room for the mail names is refused with nothing written.
    EXPECT_EQ(f.s.setUserOptions("/" + std::string(250, 'd') + "/", 0, 1, 1, 1),
              CClientSettings::DIRECTORY_REFUSED);
    EXPECT_EQ(f.text(),
              "; kept\n[SERVER]\nPORT=7000\nADDRESS=10.0.0.2\n[USER]\nNAME=Alice\n"
              "GROUP=sales\nDIR=/b/\nBEEP=1\n");
    EXPECT_EQ(f.values(), "Alice|sales|10.0.0.2|7000|/b/|1|0");
}

TEST(ClientSettings, FailedWriteShowsTheBoxKeepsTheOldValueAndStops) {
    IniFixture f;
    const std::string text = "[SERVER]\nPORT=7000\n[USER]\nNAME=alice\nGROUP=sales\n";
    f.load(text);
    CFileFaults::failRenamesTo("Tovic.ini");
    EXPECT_EQ(f.s.setIdentity("bob", "dev", "10.0.0.9"), -1);
    EXPECT_EQ(f.s.setUserOptions("/m/", 1, 1, 1, 1), -1);
    EXPECT_EQ(f.s.setPort(7001), 0);
    EXPECT_EQ(f.s.setSaveDir("/save"), -1);
    CFileFaults::reset();
    // Each setter stopped at its first failed key: one box each.
    EXPECT_EQ(f.boxes.texts(), std::vector<std::string>(4, cp932("初期化ファイルに設定失敗")));
    EXPECT_EQ(f.values(), "alice|sales||7000||0|0");
    EXPECT_EQ(f.text(), text);
    // Once the file can be written again the same call goes through.
    EXPECT_EQ(f.s.setIdentity("bob", "dev", "10.0.0.9"), 1);
    EXPECT_EQ(f.s.name(), "bob");
}

}  // namespace
}  // namespace tovi::test
