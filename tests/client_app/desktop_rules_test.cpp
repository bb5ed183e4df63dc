// The desktop decisions without a display: the find bar's filter (folding of full-width and
// half-width forms and of case, what a row is matched on), the notifications (which reload
// announces what, with which texts, and when bursts merge) and the unread count's texts.
#include <gtest/gtest.h>

#include <fstream>

#include "client/app/mail_filter.h"
#include "client/app/notification_policy.h"
#include "client/app/unread_count.h"
#include "client_app_support.h"

namespace tovi::test {
namespace {

MailRow row(const char* name, const char* peer, const char* title, bool unread) {
    MailRow r;
    r.fileName = name;
    r.peer = cp932(peer);
    r.title = cp932(title);
    r.unread = unread;
    return r;
}

TEST(MailFilter, FoldsWidthsKanaAndCase) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"ＡＢＣ　ｘｙｚ１２３！", "abc xyz123!"},
        {"ｶﾞｲﾄﾞ ﾊﾟﾝ ｳﾞ ｯﾃ ｰ", "ガイド パン ヴ ッテ ー"},
        {"ﾂﾞ ﾎﾟ ﾏﾞ", "ヅ ポ マ゛"},  // a mark the kana cannot take stays a mark
        {"ΑΩ Дё Ё", "αω дё ё"},
        {"漢字とかな", "漢字とかな"},
    };
    for (const auto& c : cases) EXPECT_EQ(CMailFilter::fold(c.in), c.out) << c.in;
}

TEST(MailFilter, MatchesPeerTitleAndBodyAsThePersonReadsThem) {
    TempDir dir;
    const std::vector<MailRow> rows = {
        row("_TovicR17000000030", "bob", "会議", true),
        row("_TovicR17000000020", "ｱﾘｽ", "Report", false),
        row("_TovicR17000000010", "carol", "雑談", false),
    };
    const char* bodies[] = {"明日のＭｅｅｔｉｎｇは１０時から", "see the attached ｶﾞｲﾄﾞ",
                            "no body marker"};
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string text =
            i == 2 ? cp932(bodies[i]) : "[Subject]:_[" + rows[i].title + "]_" + cp932(bodies[i]);
        std::ofstream(dir.path + rows[i].fileName, std::ios::binary)
            << mailBytes("me", 1, 0, "x", 1, text);
    }
    CMailFilter filter;
    filter.prepare(dir.path, rows);
    const struct {
        const char* query;
        std::vector<size_t> rows;
    } cases[] = {
        {"", {0, 1, 2}}, {"meeting", {0}}, {"10時", {0}},    {"ＢＯＢ", {0}}, {"アリス", {1}},
        {"report", {1}}, {"ガイド", {1}},  {"ｶﾞｲﾄﾞ", {1}},   {"body", {2}},   {"Subject", {}},
        {"会議", {0}},   {"zzz", {}},      {"e", {0, 1, 2}},
    };
    for (const auto& c : cases) EXPECT_EQ(filter.match(rows, c.query), c.rows) << c.query;

    // A mail that is gone is forgotten; one not prepared is matched by its columns only.
    std::vector<MailRow> fewer = {rows[0], row("_TovicR17000000040", "dave", "新", true)};
    filter.prepare(dir.path, fewer);
    EXPECT_EQ(filter.knownCount(), 2u);
    EXPECT_EQ(filter.match(fewer, "dave"), (std::vector<size_t>{1}));
    EXPECT_EQ(filter.match(rows, "ガイド"), (std::vector<size_t>{}));
}

TEST(NotificationPolicy, WhatEachReloadAnnounces) {
    CNotificationPolicy policy;
    DesktopNote note;
    const auto a = row("_TovicR1", "bob", "試験", true);
    const auto b = row("_TovicR2", "carol", "会議", true);
    const auto c = row("_TovicR3", "dave", "雑談", true);
    const auto d = row("_TovicR4", "erin", "昼食", true);
    auto read = [](MailRow r) {
        r.unread = false;
        return r;
    };
    const struct {
        std::vector<MailRow> rows;
        bool announce, notifyOn, active;
        int64_t atMs;
        bool shown;
        const char* body;
        int count;
        bool replaces;
    } steps[] = {
        {{a}, true, true, false, 0, false, "", 0, false},  // first load: nothing
        {{b, a}, true, true, false, 1000, true, "carol\n会議", 1, false},
        {{c, b, a}, true, true, false, 3000, true, "2 通のメールが届きました\ndave\n雑談", 2, true},
        {{c, b, a}, true, true, false, 4000, false, "", 0, false},               // nothing new
        {{d, c, b, a}, true, true, false, 20000, true, "erin\n昼食", 1, false},  // past the window
        {{row("_TovicR5", "f", "t", true), d}, false, true, false, 21000, false, "", 0, false},
        {{row("_TovicR6", "g", "t", true)}, true, false, false, 22000, false, "", 0, false},
        {{row("_TovicR7", "h", "t", true)}, true, true, true, 23000, false, "", 0, false},
        {{read(row("_TovicR8", "i", "t", true))}, true, true, false, 24000, false, "", 0, false},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto& s = steps[i];
        note = DesktopNote();
        EXPECT_EQ(policy.reloaded(INBOX, s.rows, s.announce, s.notifyOn, s.active, s.atMs, note),
                  s.shown)
            << i;
        if (!s.shown) continue;
        EXPECT_EQ(note.kind, DesktopNote::NEW_MAIL);
        EXPECT_EQ(cp932ToUtf8Lossy(note.summary), "新着メール");
        EXPECT_EQ(cp932ToUtf8Lossy(note.body), s.body) << i;
        EXPECT_EQ(note.count, s.count) << i;
        EXPECT_EQ(note.replacesLast, s.replaces) << i;
    }
}

TEST(NotificationPolicy, ReadNoticesAndClicksEndAMerge) {
    CNotificationPolicy policy;
    DesktopNote note;
    auto sent = [](const char* name, const char* peer, bool awaiting) {
        return row(name, peer, "報告", awaiting);
    };
    EXPECT_FALSE(policy.reloaded(SENT_BOX,
                                 {sent("_TovicS1", "bob", true), sent("_TovicS2", "amy", true)},
                                 true, true, false, 0, note));
    // A new sent mail is no event; a "●" that turned "○" is.
    EXPECT_FALSE(policy.reloaded(SENT_BOX,
                                 {sent("_TovicS3", "eve", true), sent("_TovicS2", "amy", true),
                                  sent("_TovicS1", "bob", true)},
                                 true, true, false, 100, note));
    ASSERT_TRUE(policy.reloaded(SENT_BOX,
                                {sent("_TovicS3", "eve", true), sent("_TovicS2", "amy", true),
                                 sent("_TovicS1", "bob", false)},
                                true, true, false, 200, note));
    EXPECT_EQ(note.kind, DesktopNote::READ_NOTICE);
    EXPECT_EQ(cp932ToUtf8Lossy(note.summary), "既読通知");
    EXPECT_EQ(cp932ToUtf8Lossy(note.body), "bob\n報告");
    policy.noteDismissed(DesktopNote::READ_NOTICE);
    ASSERT_TRUE(policy.reloaded(SENT_BOX,
                                {sent("_TovicS3", "eve", false), sent("_TovicS2", "amy", false),
                                 sent("_TovicS1", "bob", false)},
                                true, true, false, 300, note));
    EXPECT_FALSE(note.replacesLast);
    EXPECT_EQ(note.count, 2);
    EXPECT_EQ(cp932ToUtf8Lossy(note.body), "2 通のメールが読まれました\neve\n報告");
}

TEST(UnreadCount, BadgeTipAndTitle) {
    const struct {
        int unread;
        const char* badge;
        const char* tip;
    } cases[] = {{0, "", "トヴィカ"},
                 {1, "1", "トヴィカ（未読 1）"},
                 {99, "99", "トヴィカ（未読 99）"},
                 {100, "99+", "トヴィカ（未読 100）"}};
    for (const auto& c : cases) {
        EXPECT_EQ(CUnreadCount::badgeText(c.unread), c.badge);
        EXPECT_EQ(CUnreadCount::toolTip(c.unread), c.tip);
        EXPECT_EQ(CUnreadCount::windowTitle(c.unread, true), c.tip);
        EXPECT_EQ(CUnreadCount::windowTitle(c.unread, false), "トヴィカ");
    }
    EXPECT_EQ(CUnreadCount::count(
                  {row("a", "x", "t", true), row("b", "x", "t", false), row("c", "x", "t", true)}),
              2);
}

}  // namespace
}  // namespace tovi::test
