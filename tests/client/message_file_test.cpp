// Mail files: the layout round trip, the atomic write (no torn file under a listed name), the
// token change, the flags and the directory limit.
#include "client/connection/message_file.h"

#include <gtest/gtest.h>

#include <cstring>

#include "client_test_support.h"
#include "platform/file.h"

namespace tovi::test {
namespace {

// The peer takes all 20 bytes of its field: no terminator in the file.
const MailHead SAMPLE{"alice", 1700000000, CMessageFile::BOX_SENT, "ABCDEFGHIJKLMNOPQRST",
                      1700000001};

TEST(MessageFile, HeadAndTextRoundTripByteForByte) {
    TempDir dir;
    const std::string text("[Subject]:_[hi]_body\0with nul", 29);
    const std::string path = dir.path + "_TovicS1700000000";
    ASSERT_TRUE(CMessageFile::write(dir.path, CMessageFile::sentName(1700000000), SAMPLE,
                                    text.data(), text.size()));
    std::string raw = contents(path);
    EXPECT_EQ(raw, nameField("alice") + int32s({1700000000, 1}) + "ABCDEFGHIJKLMNOPQRST" +
                       int32s({1700000001, static_cast<int32_t>(text.size())}) + text);
    MailHead back;
    std::string backText;
    ASSERT_TRUE(CMessageFile::read(path, back, &backText));
    EXPECT_STREQ(back.peer, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(backText, text);
    // The token change rewrites those 4 bytes alone.
    EXPECT_EQ(CMessageFile::setToken(path, 0), CMessageFile::TOKEN_WRITTEN);
    std::memset(raw.data() + 48, 0, 4);
    EXPECT_EQ(contents(path), raw);
    EXPECT_EQ(CMessageFile::setToken(dir.path + "_TovicS6", 0), CMessageFile::TOKEN_NO_FILE);
    // A text length beyond the file is not read (the head alone is fine); a short file is no mail.
    putInt32(raw.data() + 52, 1000000);
    ASSERT_TRUE(replaceFileAtomically(path, raw));
    EXPECT_FALSE(CMessageFile::read(path, back, &backText));
    EXPECT_TRUE(CMessageFile::read(path, back));
    ASSERT_TRUE(replaceFileAtomically(path, "0123456789"));
    EXPECT_EQ(CMessageFile::setToken(path, 0), CMessageFile::TOKEN_FAILED);
    EXPECT_FALSE(CMessageFile::read(path, back));
}

TEST(MessageFile, FailedWriteLeavesNoFileThatAListWouldSeeAFlagIsTakenOnce) {
    TempDir dir;
    const std::string text(5000, 't');
    for (bool renameFails : {false, true}) {  // the write or the rename fails
        renameFails ? CFileFaults::failRenamesTo("_TovicR") : CFileFaults::failWritesAfter(100);
        EXPECT_FALSE(
            CMessageFile::write(dir.path, "_TovicR17000000000", SAMPLE, text.data(), text.size()));
        CFileFaults::reset();
    }
    EXPECT_TRUE(findFiles(dir.path, "*").empty());
    // A flag is two zero bytes and is taken once.
    ASSERT_TRUE(CMessageFile::raiseFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    ASSERT_TRUE(CMessageFile::raiseFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    EXPECT_EQ(contents(dir.path + "_TovicRecvUp"), std::string(2, '\0'));
    EXPECT_TRUE(CMessageFile::takeFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    EXPECT_FALSE(CMessageFile::takeFlag(dir.path, CMessageFile::RECEIVED_FLAG));
}

TEST(MessageFile, DirectoryMustLeaveRoomForTheNames) {
    // 215 bytes + the room kept for names = 255.
    EXPECT_TRUE(CMessageFile::directoryFits("/" + std::string(213, 'd') + "/"));
    EXPECT_FALSE(CMessageFile::directoryFits("/" + std::string(214, 'd') + "/"));
    // The limit counts the file system's bytes: a kanji is 2 bytes of cp932 but 3 on disk.
    std::string dir = "/";
    while (dir.size() + 2 <= 150) dir += cp932("漢");
    EXPECT_FALSE(CMessageFile::directoryFits(dir));
    EXPECT_FALSE(CMessageFile::directoryFits(std::string("/\x82", 2)));  // torn character
}

// A new mail is placed only where no file is: an existing one, another client's, keeps its bytes,
// and the temporary file stays for the next name.
TEST(MessageFile, NewMailNeverReplacesAFile) {
    TempDir dir;
    ASSERT_TRUE(replaceFileAtomically(dir.path + "_TovicR17000000000", "theirs"));
    std::string temp;
    ASSERT_TRUE(CMessageFile::writeTemporary(dir.path, SAMPLE, "mine", 4, temp));
    // Its name is no mail name: a list never shows it.
    EXPECT_FALSE(matchesPattern(temp.substr(dir.path.size()), CMessageFile::RECEIVED_PATTERN));
    EXPECT_EQ(CMessageFile::placeNew(temp, dir.path, "_TovicR17000000000"),
              CMessageFile::NAME_TAKEN);
    EXPECT_EQ(contents(dir.path + "_TovicR17000000000"), "theirs");
    ASSERT_EQ(CMessageFile::placeNew(temp, dir.path, "_TovicR17000000001"), CMessageFile::PLACED);
    EXPECT_EQ(contents(dir.path + "_TovicR17000000001").substr(56), "mine");
    // A name that cannot be made: the temporary file goes too.
    ASSERT_TRUE(CMessageFile::writeTemporary(dir.path, SAMPLE, "lost", 4, temp));
    CFileFaults::failRenamesTo("_TovicR17000000002");
    EXPECT_EQ(CMessageFile::placeNew(temp, dir.path, "_TovicR17000000002"),
              CMessageFile::PLACE_FAILED);
    CFileFaults::reset();
    EXPECT_EQ(findFiles(dir.path, "*"), (Names{"_TovicR17000000000", "_TovicR17000000001"}));
}

}  // namespace
}  // namespace tovi::test
