// Mail files: the layout round trip, the atomic write (no torn file under a listed name), the
// token change, the flags and the directory limit.
#include "client/connection/message_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/cp932.h"
#include "platform/file.h"
#include "protocol/packets.h"

namespace tovi {
namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/tovi_mail_XXXXXX";
        path = ::mkdtemp(pattern);
        path += '/';
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

MailHead sample() {
    MailHead h;
    std::strcpy(h.owner, "alice");
    h.time = 1700000000;
    h.box = CMessageFile::BOX_SENT;
    std::memcpy(h.peer, "ABCDEFGHIJKLMNOPQRST", 20);  // exactly 20 bytes: no terminator
    h.token = 1700000000;
    return h;
}

TEST(MessageFile, HeadAndTextRoundTripByteForByte) {
    TempDir dir;
    const std::string text = "[Subject]:_[hi]_body\0with nul";
    ASSERT_TRUE(CMessageFile::write(dir.path, CMessageFile::sentName(1700000000), sample(),
                                    text.data(), text.size()));
    std::string raw;
    ASSERT_TRUE(readWholeFile(dir.path + "_TovicS1700000000", raw));
    ASSERT_EQ(raw.size(), 56 + text.size());
    EXPECT_EQ(raw.substr(0, 6), std::string("alice\0", 6));
    EXPECT_EQ(getInt32(raw.data() + 20), 1700000000);
    EXPECT_EQ(getInt32(raw.data() + 24), 1);
    EXPECT_EQ(raw.substr(28, 20), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(getInt32(raw.data() + 48), 1700000000);
    EXPECT_EQ(getInt32(raw.data() + 52), static_cast<int32_t>(text.size()));

    MailHead back;
    std::string backText;
    ASSERT_TRUE(CMessageFile::read(dir.path + "_TovicS1700000000", back, &backText));
    EXPECT_STREQ(back.owner, "alice");
    EXPECT_STREQ(back.peer, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(back.textLength, static_cast<int32_t>(text.size()));
    EXPECT_EQ(backText, text);
    EXPECT_EQ(CMessageFile::receivedName(1700000000, 12), "_TovicR170000000012");
}

TEST(MessageFile, FailedWriteLeavesNoFileThatAListWouldSee) {
    TempDir dir;
    const std::string text(5000, 't');
    CFileFaults::failWritesAfter(100);
    EXPECT_FALSE(
        CMessageFile::write(dir.path, "_TovicR17000000000", sample(), text.data(), text.size()));
    CFileFaults::reset();
    CFileFaults::failRenamesTo("_TovicR");
    EXPECT_FALSE(
        CMessageFile::write(dir.path, "_TovicR17000000000", sample(), text.data(), text.size()));
    CFileFaults::reset();
    EXPECT_TRUE(findFiles(dir.path, "*").empty());
    // The temporary name is never one the lists pick up.
    std::string temp = CMessageFile::temporaryName("_TovicR17000000000");
    EXPECT_FALSE(matchesPattern(temp, CMessageFile::RECEIVED_PATTERN));
    EXPECT_FALSE(matchesPattern(temp, CMessageFile::SENT_PATTERN));
}

TEST(MessageFile, TokenChangeTouchesOnlyTheTokenField) {
    TempDir dir;
    ASSERT_TRUE(CMessageFile::write(dir.path, "_TovicS5", sample(), "text", 4));
    std::string before;
    ASSERT_TRUE(readWholeFile(dir.path + "_TovicS5", before));
    EXPECT_EQ(CMessageFile::setToken(dir.path + "_TovicS5", 0), CMessageFile::TOKEN_WRITTEN);
    std::string after;
    ASSERT_TRUE(readWholeFile(dir.path + "_TovicS5", after));
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(getInt32(after.data() + 48), 0);
    std::memset(before.data() + 48, 0, 4);
    EXPECT_EQ(after, before);

    EXPECT_EQ(CMessageFile::setToken(dir.path + "_TovicS6", 0), CMessageFile::TOKEN_NO_FILE);
    CFile shortFile;
    ASSERT_TRUE(shortFile.open(dir.path + "_TovicS7", CFile::CREATE_TRUNCATE));
    ASSERT_TRUE(shortFile.write("0123456789", 10));
    shortFile.close();
    EXPECT_EQ(CMessageFile::setToken(dir.path + "_TovicS7", 0), CMessageFile::TOKEN_FAILED);
    MailHead h;
    EXPECT_FALSE(CMessageFile::read(dir.path + "_TovicS7", h));
}

TEST(MessageFile, TextLengthBeyondTheFileIsNotRead) {
    TempDir dir;
    ASSERT_TRUE(CMessageFile::write(dir.path, "_TovicS8", sample(), "abc", 3));
    ASSERT_EQ(CMessageFile::setToken(dir.path + "_TovicS8", 0), CMessageFile::TOKEN_WRITTEN);
    std::string raw;
    ASSERT_TRUE(readWholeFile(dir.path + "_TovicS8", raw));
    putInt32(raw.data() + 52, 1000000);
    ASSERT_TRUE(replaceFileAtomically(dir.path + "_TovicS8", raw));
    MailHead h;
    std::string text;
    EXPECT_FALSE(CMessageFile::read(dir.path + "_TovicS8", h, &text));
    EXPECT_TRUE(CMessageFile::read(dir.path + "_TovicS8", h));  // the head alone is fine
}

TEST(MessageFile, FlagIsTwoZeroBytesAndIsTakenOnce) {
    TempDir dir;
    ASSERT_TRUE(CMessageFile::raiseFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    ASSERT_TRUE(CMessageFile::raiseFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    std::string raw;
    ASSERT_TRUE(readWholeFile(dir.path + "_TovicRecvUp", raw));
    EXPECT_EQ(raw, std::string(2, '\0'));
    EXPECT_TRUE(CMessageFile::takeFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    EXPECT_FALSE(CMessageFile::takeFlag(dir.path, CMessageFile::RECEIVED_FLAG));
    EXPECT_FALSE(CMessageFile::takeFlag(dir.path, CMessageFile::SENT_FLAG));
}

TEST(MessageFile, DirectoryMustLeaveRoomForTheNames) {
    // 215 bytes + the room kept for names = 255.
    std::string fits = "/" + std::string(213, 'd') + "/";
    EXPECT_TRUE(CMessageFile::directoryFits(fits));
    EXPECT_FALSE(CMessageFile::directoryFits("/" + std::string(214, 'd') + "/"));
    // The limit counts the file system's bytes: a kanji is 2 bytes of cp932 but 3 on disk.
    std::string kanji;
    ASSERT_TRUE(utf8ToCp932("漢", kanji));
    std::string dir = "/";
    while (dir.size() + 2 <= 150) dir += kanji;
    EXPECT_FALSE(CMessageFile::directoryFits(dir));
    std::string fs;
    ASSERT_TRUE(CMessageFile::fsDirectory("/tmp/mail", fs));
    EXPECT_EQ(fs, "/tmp/mail/");
    ASSERT_TRUE(CMessageFile::fsDirectory("", fs));
    EXPECT_EQ(fs, "");
    EXPECT_FALSE(CMessageFile::directoryFits(std::string("/\x82", 2)));  // torn character
}

}  // namespace
}  // namespace tovi
