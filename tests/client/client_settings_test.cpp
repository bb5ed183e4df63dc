// Tovic.ini through CClientSettings: defaults, write-through with compare first, write order,
// failed writes, cut texts and the directory refusal.
#include "client/dialogs/client_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/cp932.h"
#include "platform/file.h"
#include "ui/scripted_message_boxes.h"

namespace tovi {
namespace {

struct IniFixture {
    std::string root;
    std::string path;
    CScriptedMessageBoxes boxes;
    IniFixture() {
        char pattern[] = "/tmp/tovi_ini_XXXXXX";
        root = ::mkdtemp(pattern);
        path = root + "/Tovic.ini";
    }
    ~IniFixture() {
        CFileFaults::reset();
        std::system(("rm -rf '" + root + "'").c_str());
    }
    void write(const std::string& text) { ASSERT_TRUE(replaceFileAtomically(path, text)); }
    std::string text() const {
        std::string t;
        readWholeFile(path, t);
        return t;
    }
};

std::string cp932(const char* utf8) {
    std::string out;
    utf8ToCp932(utf8, out);
    return out;
}

TEST(ClientSettings, MissingFileReadsNothingButBecomesTheStore) {
    IniFixture f;
    CClientSettings s;
    EXPECT_EQ(s.load(f.path), 0);
    EXPECT_EQ(s.port(), 0);
    EXPECT_FALSE(fileExists(f.path));
    // The first start then stores the port into that file.
    EXPECT_EQ(s.setPort(6998), 1);
    CClientSettings again;
    EXPECT_EQ(again.load(f.path), 1);
    EXPECT_EQ(again.port(), 6998);
}

TEST(ClientSettings, MissingOrZeroPortBecomes6998InMemoryAndFile) {
    for (const char* text :
         {"[SERVER]\nADDRESS=10.0.0.1\n", "[SERVER]\nPORT=0\nADDRESS=10.0.0.1\n"}) {
        IniFixture f;
        f.write(text);
        CClientSettings s;
        EXPECT_EQ(s.load(f.path), 1);
        EXPECT_EQ(s.port(), 6998);
        EXPECT_EQ(s.address(), "10.0.0.1");
        CIniFile ini(f.path);
        EXPECT_EQ(ini.getInt("SERVER", "PORT", -1), 6998) << text;
    }
}

TEST(ClientSettings, UnchangedValuesWriteNothing) {
    IniFixture f;
    f.write(
        "; kept\n[SERVER]\nPORT=7000\nADDRESS=10.0.0.1\n[USER]\nNAME=alice\nGROUP=sales\n"
        "DIR=/home/a/mail/\nBEEP=1\n");
    CClientSettings s;
    ASSERT_EQ(s.load(f.path), 1);
    const std::string before = f.text();
    EXPECT_EQ(s.setIdentity("alice", "sales", "10.0.0.1"), 0);
    EXPECT_EQ(s.setUserOptions("/home/a/mail/", 1, 0, 0, 0), 0);
    EXPECT_EQ(s.setSaveDir(""), 1);
    EXPECT_EQ(f.text(), before);  // not even rewritten with the same bytes: no READBEEP=0 added
}

TEST(ClientSettings, IdentityReportsOnlyNameOrGroupChanges) {
    IniFixture f;
    f.write("[SERVER]\nPORT=7000\nADDRESS=10.0.0.1\n[USER]\nNAME=alice\nGROUP=sales\n");
    CClientSettings s;
    ASSERT_EQ(s.load(f.path), 1);
    EXPECT_EQ(s.setIdentity("alice", "sales", "10.0.0.2"), 0);
    EXPECT_EQ(CIniFile(f.path).getString("SERVER", "ADDRESS"), "10.0.0.2");
    EXPECT_EQ(s.address(), "10.0.0.2");
    // Names compare case-sensitively.
    EXPECT_EQ(s.setIdentity("Alice", "sales", nullptr), 1);
    EXPECT_EQ(CIniFile(f.path).getString("USER", "NAME"), "Alice");
    EXPECT_EQ(s.address(), "10.0.0.2");
}

TEST(ClientSettings, OnlyTheChangedOptionIsWrittenAndOtherLinesStay) {
    IniFixture f;
    f.write("; comment\n[SERVER]\nPORT=7000\n[USER]\nDIR=/a/\n");
    CClientSettings s;
    ASSERT_EQ(s.load(f.path), 1);
    EXPECT_EQ(s.setUserOptions("/b/", 0, 0, 0, 0), 0);
    EXPECT_EQ(f.text(), "; comment\n[SERVER]\nPORT=7000\n[USER]\nDIR=/b/\n");
    EXPECT_EQ(s.dir(), "/b/");
}

TEST(ClientSettings, FailedWriteShowsTheBoxKeepsTheOldValueAndStops) {
    IniFixture f;
    f.write("[SERVER]\nPORT=7000\n[USER]\nNAME=alice\nGROUP=sales\n");
    CClientSettings s;
    ASSERT_EQ(s.load(f.path), 1);
    CFileFaults::failRenamesTo("Tovic.ini");
    EXPECT_EQ(s.setIdentity("bob", "dev", "10.0.0.9"), -1);
    EXPECT_EQ(s.setUserOptions("/m/", 1, 1, 1, 1), -1);
    EXPECT_EQ(s.setPort(7001), 0);
    EXPECT_EQ(s.setSaveDir("/save"), -1);
    CFileFaults::reset();
    // Each setter stopped at its first failed key: one box each.
    ASSERT_EQ(f.boxes.texts().size(), 4u);
    EXPECT_EQ(f.boxes.texts()[0], cp932("初期化ファイルに設定失敗"));
    EXPECT_EQ(s.name(), "alice");
    EXPECT_EQ(s.group(), "sales");
    EXPECT_EQ(s.address(), "");
    EXPECT_EQ(s.beep(), 0);
    EXPECT_EQ(s.port(), 7000);
    EXPECT_EQ(f.text(), "[SERVER]\nPORT=7000\n[USER]\nNAME=alice\nGROUP=sales\n");
    // Once the file can be written again the same call goes through.
    EXPECT_EQ(s.setIdentity("bob", "dev", "10.0.0.9"), 1);
    EXPECT_EQ(s.name(), "bob");
}

TEST(ClientSettings, LongTextsAreCutOnACharacterBoundary) {
    IniFixture f;
    // 19 ASCII bytes and then a double-byte character: 21 bytes, cut to 19.
    const std::string longName = std::string(19, 'n') + cp932("漢");
    f.write("[SERVER]\nPORT=7000\nADDRESS=" + std::string(30, '1') + "\n[USER]\nNAME=" + longName +
            "\n");
    CClientSettings s;
    ASSERT_EQ(s.load(f.path), 1);
    EXPECT_EQ(s.name(), std::string(19, 'n'));
    EXPECT_EQ(s.address(), std::string(23, '1'));
    const std::string group = cp932("営業部第一課の皆さん、こんにちは");  // 32 bytes
    EXPECT_EQ(s.setIdentity(s.name().c_str(), group.c_str(), nullptr), 1);
    EXPECT_EQ(s.group(), group.substr(0, 20));
    EXPECT_EQ(CIniFile(f.path).getString("USER", "GROUP"), group.substr(0, 20));
}

TEST(ClientSettings, DirectoryWithoutRoomForTheMailNamesIsRefused) {
    IniFixture f;
    f.write("[SERVER]\nPORT=7000\n[USER]\nDIR=/a/\n");
    CClientSettings s;
    ASSERT_EQ(s.load(f.path), 1);
    const std::string before = f.text();
    EXPECT_EQ(s.setUserOptions("/" + std::string(250, 'd') + "/", 1, 1, 1, 1),
              CClientSettings::DIRECTORY_REFUSED);
    EXPECT_EQ(f.text(), before);
    EXPECT_EQ(s.dir(), "/a/");
    EXPECT_EQ(s.beep(), 0);
}

}  // namespace
}  // namespace tovi
