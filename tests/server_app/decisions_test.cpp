// The server window's decisions, without a display: the user list read from TovisUser.dat, the
// days <-> DELLIMIT rules of the holding-period dialog, and Tovis.ini values that cannot be used
// as they are.
#include "server/app/hold_period.h"
#include "server/app/user_list.h"
#include "server_app_support.h"

namespace tovi::test {

namespace {
Names displayed(const CUserList& list) {
    Names out;
    for (const auto& line : list.lines()) out.push_back(line.display);
    return out;
}
}  // namespace

// A name of exactly 20 bytes has no NUL: the group that follows must not join it. 0x81 0x20 is
// no cp932 character: shown as a replacement, deleted by its own bytes.
TEST(UserList, ListsStoredNamesInCollatedOrderSkipsATornRecordAndDeletesByStoredBytes) {
    TempDir dir;
    const std::string file = dir.file("TovisUser.dat");
    const std::string twenty = "abcdefghijklmnopqrst", odd = std::string("x\x81\x20y", 4);
    ASSERT_TRUE(replaceFileAtomically(
        file, userRecord("carol") + userRecord("Bob") + userRecord(cp932("山田")) +
                  userRecord(twenty, "groupname") + userRecord("alice") + userRecord("bob") +
                  userRecord(odd) + userRecord("Zed") + userRecord("torn").substr(0, 40)));
    CUserList list(file);
    ASSERT_TRUE(list.reload());
    ASSERT_TRUE(list.reload());  // reloading does not add to what is there
    ASSERT_EQ(list.count(), 8u);
    EXPECT_EQ(displayed(list), (Names{"abcdefghijklmnopqrst", "alice", "Bob", "bob", "carol",
                                      "x\uFFFD y", "Zed", "山田"}));
    EXPECT_EQ(list.line(5).name, odd);
    EXPECT_EQ(list.removeAt(5), odd);
    EXPECT_EQ(list.removeAt(9), "");
    EXPECT_EQ(list.count(), 7u);
    EXPECT_EQ(list.insert("Carl"), 4u);  // later inserts keep the order
    EXPECT_EQ(displayed(list)[4], "Carl");

    removeFile(file);  // a missing file leaves the list empty
    EXPECT_FALSE(list.reload());
    EXPECT_EQ(list.count(), 0u);
}

// The dialog opens from the limit in days rounded up (ticked whenever mail expires), with a note
// of the seconds when the days cannot show them exactly. Only a change of the shown days is
// written: a limit that is not whole days, or longer than the field can show, is kept when
// confirmed as opened.
TEST(HoldPeriod, OpensInDaysRoundedUpAndOnlyAChangeOfTheShownDaysIsWritten) {
    // DELLIMIT opened with, the days shown ("": box cleared), days confirmed, the limit written
    // (-1: nothing), whether a note names the seconds.
    const std::tuple<int32_t, std::string, int32_t, int32_t, bool> cases[] = {
        {864000, "10", 7, 604800, false},
        {864000, "10", 0, 0, false},
        {864000, "10", 10, -1, false},
        {90000, "2", 2, -1, true},
        {86399, "1", 1, -1, true},
        {3600, "1", 1, -1, true},
        {3600, "1", 0, 0, true},
        {0, "", 9999, 863913600, false},
        {0, "", 0, -1, false},
        {-86400, "", 0, -1, false},
        {863913600, "9999", 9999, -1, false},
        {2000000000, "9999", 9999, -1, true},
        {2147483647, "9999", 1, 86400, true}};
    for (const auto& [opened, shown, days, written, noted] : cases) {
        const CHoldPeriod period(opened);
        EXPECT_EQ(period.initiallyChecked(), !shown.empty()) << opened;
        EXPECT_EQ(period.initialText(), shown) << opened;
        EXPECT_EQ(period.fileNote().find(std::to_string(opened) + " 秒") != std::string::npos,
                  noted)
            << opened;
        EXPECT_EQ(period.fileNote().empty(), !noted) << opened;
        int32_t limit = -1;
        EXPECT_EQ(period.changedLimit(days, limit), written != -1) << opened << " " << days;
        EXPECT_EQ(limit, written) << opened << " " << days;
    }
}

// No days with the box ticked read as 0 (keep for ever) and can be confirmed; only text the
// field cannot hold cannot.
TEST(HoldPeriod, DigitsOrNothingCanBeConfirmedAndNoDaysMeanForEver) {
    for (const char* days : {"7", "0007", "9999", "", "0"})
        EXPECT_TRUE(CHoldPeriod::canConfirm(true, days)) << days;
    for (const char* days : {"-5", "12345", "1a"})
        EXPECT_FALSE(CHoldPeriod::canConfirm(true, days)) << days;
    EXPECT_TRUE(CHoldPeriod::canConfirm(false, ""));
    EXPECT_EQ(CHoldPeriod::confirmedDays(true, "0007"), 7);
    EXPECT_EQ(CHoldPeriod::confirmedDays(true, ""), 0);
    EXPECT_EQ(CHoldPeriod::confirmedDays(false, "7"), 0);
}

}  // namespace tovi::test
