// Moving the user's mail files to a new mail directory.
#include "client/app/mail_mover.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/test_support.h"

namespace tovi::test {
namespace {

std::string mailBytes(const std::string& owner, const std::string& text) {
    return nameField(owner) + int32s({1, 0}) + nameField("x") +
           int32s({1, static_cast<int32_t>(text.size())}) + text;
}

TEST(MailMover, MovesOnlyTheUsersMailAndLeavesFlagsAndOthers) {
    TempDir root;
    const std::string from = root.path + "old/", to = root.path + "new/";
    ASSERT_TRUE(makeDirectories(from) && makeDirectories(to));
    ASSERT_TRUE(replaceFileAtomically(from + "_TovicR17000000010", mailBytes("bob", "one")));
    ASSERT_TRUE(replaceFileAtomically(from + "_TovicS1700000002", mailBytes("bob", "two")));
    ASSERT_TRUE(replaceFileAtomically(from + "_TovicR17000000030", mailBytes("eve", "hers")));
    ASSERT_TRUE(replaceFileAtomically(from + "_TovicRecvUp", std::string(2, '\0')));
    ASSERT_TRUE(replaceFileAtomically(from + "notes.txt", mailBytes("bob", "not mail")));

    EXPECT_TRUE(CMailMover::moveMailFiles(from, to, "bob"));
    EXPECT_EQ(findFiles(to, "*"), (Names{"_TovicR17000000010", "_TovicS1700000002"}));
    EXPECT_EQ(contents(to + "_TovicS1700000002"), mailBytes("bob", "two"));
    EXPECT_EQ(findFiles(from, "*"), (Names{"_TovicR17000000030", "_TovicRecvUp", "notes.txt"}));
}

TEST(MailMover, NeverOverwritesAndReportsFailureOnceAfterTryingTheRest) {
    TempDir root;
    const std::string from = root.path + "old/", to = root.path + "new/";
    ASSERT_TRUE(makeDirectories(from) && makeDirectories(to));
    ASSERT_TRUE(replaceFileAtomically(from + "_TovicS1700000001", mailBytes("bob", "old one")));
    ASSERT_TRUE(replaceFileAtomically(from + "_TovicS1700000002", mailBytes("bob", "moves")));
    ASSERT_TRUE(replaceFileAtomically(to + "_TovicS1700000001", mailBytes("bob", "already here")));

    EXPECT_FALSE(CMailMover::moveMailFiles(from, to, "bob"));
    EXPECT_EQ(contents(to + "_TovicS1700000001"), mailBytes("bob", "already here"));
    EXPECT_EQ(contents(from + "_TovicS1700000001"), mailBytes("bob", "old one"));
    EXPECT_EQ(contents(to + "_TovicS1700000002"), mailBytes("bob", "moves"));
    EXPECT_FALSE(fileExists(from + "_TovicS1700000002"));
}

TEST(MailMover, TheSameDirectoryUnderAnotherSpellingOrNothingToMoveIsNoFailure) {
    TempDir root;
    const std::string dir = root.path + "mail/";
    ASSERT_TRUE(makeDirectories(dir) && makeDirectories(root.path + "empty/"));
    ASSERT_EQ(::symlink(dir.c_str(), (root.path + "link").c_str()), 0);
    ASSERT_TRUE(replaceFileAtomically(dir + "_TovicS1700000001", mailBytes("bob", "stays")));
    EXPECT_TRUE(CMailMover::moveMailFiles(dir, root.path + "link/", "bob"));
    EXPECT_TRUE(CMailMover::moveMailFiles(dir, root.path + "mail/./", "bob"));
    EXPECT_EQ(contents(dir + "_TovicS1700000001"), mailBytes("bob", "stays"));
    EXPECT_TRUE(CMailMover::moveMailFiles(root.path + "empty/", dir, "bob"));
    EXPECT_TRUE(CMailMover::moveMailFiles(root.path + "missing/", dir, "bob"));
}

}  // namespace
}  // namespace tovi::test
