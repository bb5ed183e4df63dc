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
    EXPECT_EQ(CMessageFile::receivedName(1700000000, 12), "_TovicR170000000012");
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
    const std::string temp = CMessageFile::temporaryName("_TovicR17000000000");
    EXPECT_FALSE(matchesPattern(temp, CMessageFile::RECEIVED_PATTERN));
    EXPECT_FALSE(matchesPattern(temp, CMessageFile::SENT_PATTERN));
    // A flag is two zero bytes and is taken once.
    ASSERT_TRUE(CMessageFile::raiseFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    ASSERT_TRUE(CMessageFile::raiseFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    EXPECT_EQ(contents(dir.path + "_TovicRecvUp"), std::string(2, '\0'));
    EXPECT_TRUE(CMessageFile::takeFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    EXPECT_FALSE(CMessageFile::takeFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    EXPECT_FALSE(CMessageFile::takeFlag(dir.path, CMessageFile::SENT_FLAG));
}

TEST(MessageFile, DirectoryMustLeaveRoomForTheNames) {
    // 215 bytes + the room kept for names = 255.
    EXPECT_TRUE(CMessageFile::directoryFits("/" + std::string(213, 'd') + "/"));
    EXPECT_FALSE(CMessageFile::directoryFits("/" + std::string(214, 'd') + "/"));
    // The limit counts the file system's bytes: a kanji is 2 bytes of cp932 but 3 on disk.
    std::string dir = "/";
    while (dir.size() + 2 <= 150) dir += cp932("漢");
    EXPECT_FALSE(CMessageFile::directoryFits(dir));
    std::string fs;
    ASSERT_TRUE(CMessageFile::fsDirectory("/tmp/mail", fs));
    EXPECT_EQ(fs, "/tmp/mail/");
    ASSERT_TRUE(CMessageFile::fsDirectory("", fs));
    EXPECT_EQ(fs, "");
    EXPECT_FALSE(CMessageFile::directoryFits(std::string("/\x82", 2)));  // torn character
}

}  // namespace
}  // namespace tovi::test
