// The rules behind the dialogs, without a display: the conversion at the widget edge, the compose
// and view texts, registration, the destination lists and the mail directory.
#include <gtest/gtest.h>

#include <filesystem>

#include "client/connection/message_file.h"
#include "client/dialogs/compose_text.h"
#include "client/dialogs/cp932_input.h"
#include "client/dialogs/mail_view_text.h"
#include "client/dialogs/registration.h"
#include "client/dialogs/send_target_rules.h"
#include "client/dialogs/user_settings_rules.h"
#include "dialog_test_support.h"
#include "protocol/packets.h"
#include "ui/scripted_message_boxes.h"

namespace tovi {
namespace {

using test::cp932;
using test::repeat;
using Rules = CUserSettingsRules;

// The conversion at the widget edge (the byte counting is met through the edits).
TEST(Cp932Input, WidgetEdgeTurnsCrLfIntoLfAndBack) {
    std::string back;
    const std::string stored = cp932("一行目") + "\r\n\r\nb";
    const std::string shown = CCp932Input::toWidget(stored);
    EXPECT_EQ(shown, "一行目\n\nb");
    ASSERT_TRUE(CCp932Input::fromWidget(shown, back));
    EXPECT_EQ(back, stored);
    EXPECT_EQ(CCp932Input::toWidget("a\rb"), "a\nb");
    EXPECT_FALSE(CCp932Input::fromWidget("한", back));
    EXPECT_EQ(back, stored);  // untouched on failure
}

// The compose rules: byte counts with double-byte characters, the refusals, the quotation block.
TEST(ComposeText, JoinsTitleAndBodyBetweenTheMarkersOrRefusesWithTheReasons) {
    auto tooLong = [](int length) {
        return cp932(
                   "タイトルを含めたメッセージ長が19500文字を超えています。送信できません。"
                   "現在の文字長(") +
               std::to_string(length) + ")\n";
    };
    const std::string quotation = CComposeText::quotationBlock("a", std::string(19480, 'q'));
    // Title, body, the text composed (empty when refused) and the refusal's messages. An overlong
    // quotation is reported with the field limit, then the length; a title beyond 64 bytes would
    // not be read back whole.
    const std::tuple<std::string, std::string, std::string, test::Names> cases[] = {
        {"abc", "", "[Subject]:_[abc]_", {}},
        {"", "x", "[Subject]:_[]_x", {}},
        {"", "", "", {cp932("メッセージを入力してください。\n")}},
        {cp932("あ").substr(0, 1), std::string(19500, 'b'), "", {tooLong(19501)}},
        {"", quotation, "", {cp932("19500 文字以内で入力してください。"), tooLong(19532)}},
        {std::string(65, 't'), "x", "", {cp932("64 文字以内で入力してください。")}},
    };
    for (const auto& [title, body, text, messages] : cases) {
        const CComposeText::Verdict v = CComposeText::check(title, body);
        EXPECT_EQ(v.accepted, messages.empty()) << title.size() << " " << body.size();
        EXPECT_EQ(v.text, text);
        EXPECT_EQ(v.messages, messages);
    }
    // Double-byte characters count 2: a 64-byte title of 32 characters and a 19436-byte body.
    const std::string title = repeat(cp932("件"), 32);
    const std::string body = repeat(cp932("本文") + "\r\n", 3239) + cp932("末");
    ASSERT_EQ(title.size() + body.size(), 19500u);
    const CComposeText::Verdict v = CComposeText::check(title, body);
    EXPECT_TRUE(v.accepted);
    EXPECT_EQ(v.text, "[Subject]:_[" + title + "]_" + body);
    // An empty mail is quoted as nothing (the block's bytes are met in the compose dialog).
    EXPECT_EQ(CComposeText::quotationBlock("a", ""), "");
}

// The view's split of a message text, loading (the read mark, the length bound) and saving.
// A closing marker inside the title cuts it there; without one the title takes at most 64 bytes
// (never half a character) and the body starts two bytes after them; a closed title above 127
// bytes is cut on a character boundary. The body keeps every byte up to a NUL.
TEST(MailViewText, SplitsTitleAndBodyKeepingEveryBodyByte) {
    const std::string T63(63, 'T'), kana = cp932("あ");
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"[Subject]:_[abc]_xyz", "abc", "xyz"},
        {"no marker\r\nat all", "", "no marker\r\nat all"},
        {"[Subject]:_[a]_b]_c", "a", "b]_c"},
        {"[Subject]:_[t]_\r\nsecond", "t", "\r\nsecond"},
        {std::string("[Subject]:_[t]_ab\0cd", 20), "t", "ab"},
        {"[Subject]:_[" + T63 + "T..body", T63 + "T", "body"},
        {"[Subject]:_[short", "short", ""},
        {"[Subject]:_[" + T63 + kana + "xxbody", T63, "xbody"},
        {"[Subject]:_[" + T63 + T63 + kana + "]_b", T63 + T63, "b"},
    };
    for (const auto& [text, title, body] : cases) {
        std::string gotTitle, gotBody;
        CMailViewText::split(text, gotTitle, gotBody);
        EXPECT_EQ(gotTitle, title) << text;
        EXPECT_EQ(gotBody, body) << text;
    }
}

int32_t tokenOf(const std::string& path) {
    return getInt32(test::contents(path).data() + CMessageFile::TOKEN_OFFSET);
}

TEST(MailViewText, LoadMarksReceivedMailReadKeepsSentMailAsItIsAndRefusesBadFiles) {
    test::TempDir dir;
    const std::string text = "[Subject]:_[" + cp932("件名") + "]_" + cp932("本文") + "\r\n";
    const std::string received = test::mailFile(dir, 0, text, 777);
    std::string title, body;
    ASSERT_TRUE(CMailViewText::load(received, 0, title, body));
    EXPECT_EQ(title, cp932("件名"));
    EXPECT_EQ(body, cp932("本文") + "\r\n");
    EXPECT_EQ(tokenOf(received), 0);
    ASSERT_TRUE(CMailViewText::load(received, 0, title, body));  // a second opening
    EXPECT_EQ(tokenOf(received), 0);

    const std::string sent = test::mailFile(dir, 1, text, 555);
    const std::string before = test::contents(sent);
    ASSERT_TRUE(CMailViewText::load(sent, 1, title, body));
    EXPECT_EQ(test::contents(sent), before);

    // Refused: a missing file, a length field beyond 20000 bytes, negative or beyond the file,
    // a file shorter than the head.
    EXPECT_FALSE(CMailViewText::load(dir.file("none"), 0, title, body));
    EXPECT_FALSE(
        CMailViewText::load(test::mailFile(dir, 1, std::string(20001, 'x')), 1, title, body));
    EXPECT_FALSE(CMailViewText::load(test::mailFile(dir, 1, "abc", 5, -1), 1, title, body));
    EXPECT_FALSE(CMailViewText::load(test::mailFile(dir, 1, "abc", 5, 4), 1, title, body));
    EXPECT_TRUE(
        CMailViewText::load(test::mailFile(dir, 1, std::string(20000, 'x')), 1, title, body));
    EXPECT_EQ(body.size(), 20000u);
    ASSERT_TRUE(replaceFileAtomically(dir.file("short"), std::string(30, '\0')));
    EXPECT_FALSE(CMailViewText::load(dir.file("short"), 0, title, body));
}

TEST(MailViewText, SaveWritesTheBodyBytesAndReportsEitherFailure) {
    test::TempDir dir;
    const std::string body = cp932("一行目") + "\r\n2\r\n";
    EXPECT_EQ(CMailViewText::save(dir.file("out.txt"), body), CMailViewText::SAVED);
    EXPECT_EQ(test::contents(dir.file("out.txt")), body);
    EXPECT_EQ(CMailViewText::save(dir.file("missing/out.txt"), body), CMailViewText::CREATE_FAILED);
    CFileFaults::failWritesAfter(3);
    EXPECT_EQ(CMailViewText::save(dir.file("full.txt"), body), CMailViewText::WRITE_FAILED);
    CFileFaults::reset();
    EXPECT_EQ(CMailViewText::folderOf("/home/u/x.txt"), "/home/u");
    EXPECT_EQ(CMailViewText::folderOf("/x.txt"), "");
    EXPECT_EQ(CMailViewText::folderOf("x.txt"), "");
}

// The registration rules: the changed flag, the address read back, what is never accepted.
struct RegistrationCase {
    int firstRun;
    std::string stored, typed;  // address as stored and in the field
    std::string name, group;    // typed; the stored ones are "A" and "G" unless the run is first
    std::string refusal;        // empty when accepted
    int changed;
    std::string address;  // the address taken
};

// The changed flag compares byte for byte (a name differing in case is a change). A locked
// field cannot change the address, and an address the user did not edit is kept byte for byte
// (a host name written into Tovic.ini by hand survives both modes).
TEST(Registration, ChangedFlagAndTheAddressTakenOrTheRefusal) {
    const std::string noAddress = cp932("サーバアドレスを入力してください。\n");
    const std::string noName = cp932("ユーザ名を入力してください。\n");
    const std::string badAddress = cp932("サーバアドレスが正しくありません。\n");
    const std::string badName = cp932("ユーザ名の前後に空白や引用符(\")は使えません。\n");
    const std::string badGroup = cp932("ユーザグループの前後に空白や引用符(\")は使えません。\n");
    const RegistrationCase cases[] = {
        {1, "192.168.200.1", "192.168.200.1", "A", "G", "", 0, "192.168.200.1"},
        {0, "192.168.200.1", "10.0.0.9", "B", "G", "", 1, "192.168.200.1"},
        {1, "10.0.0.1", "10.0.0.1", "a", "G", "", 1, "10.0.0.1"},
        {0, "mailhost.local", "mailhost.local", "B", "G", "", 1, "mailhost.local"},
        {1, "192.168.001.001", "192.168.001.001", "A", "G", "", 0, "192.168.001.001"},
        {1, "192.168.001.001", "192.168.001.002", "A", "G", "", 1, "192.168.1.2"},
        {1, "", "", "A", "G", noAddress, 0, ""},
        {1, "", "0.0.0.0", "A", "G", noAddress, 0, ""},
        {1, "", "0.0", "A", "G", noAddress, 0, ""},
        {1, "", "10.0.0.1", "", "G", noName, 0, ""},
        {1, "", "10.0.0.1", "A", "", cp932("ユーザグループを入力してください。\n"), 0, ""},
        {0, "10.0.0.1", "", "", "G", noName, 0, ""},
        // A host name is taken as typed; what is neither an address nor a host name is refused.
        {1, "", "mailhost.local", "A", "G", "", 1, "mailhost.local"},
        {1, "", "Mail-1", "A", "G", "", 1, "Mail-1"},
        {1, "", "010.1", "A", "G", "", 1, "10.1.0.0"},  // blank parts are 0
        {1, "", "10.0.300.1", "A", "G", badAddress, 0, ""},
        {1, "", "1.2.3.4.5", "A", "G", badAddress, 0, ""},
        {1, "", "mailhost.", "A", "G", badAddress, 0, ""},
        {1, "", "-mail.local", "A", "G", badAddress, 0, ""},
        {1, "", "mail_host", "A", "G", badAddress, 0, ""},
        {1, "", "abcdefghij.abcdefghij.ab", "A", "G", badAddress, 0, ""},  // 24 bytes
        // Tovic.ini would give these back trimmed or unquoted: another user at the next start.
        {0, "10.0.0.1", "", "B ", "G", badName, 0, ""},
        {0, "10.0.0.1", "", "\tB", "G", badName, 0, ""},
        {0, "10.0.0.1", "", "\"B\"", "G", badName, 0, ""},
        {0, "10.0.0.1", "", "B", " G", badGroup, 0, ""},
        {0, "10.0.0.1", "", "B", "G\"", badGroup, 0, ""},
        {0, "10.0.0.1", "", "B C", "G", "", 1, "10.0.0.1"},
    };
    for (const RegistrationCase& c : cases) {
        CRegistration r(c.firstRun, c.stored, "A", "G");
        EXPECT_EQ(r.addressEditable(), c.firstRun != 0);
        EXPECT_EQ(r.shownAddress(), c.stored);
        EXPECT_EQ(r.accept(c.typed, c.name, c.group), c.refusal) << c.typed << c.name;
        EXPECT_EQ(r.changed(), c.changed) << c.typed << c.name;
        EXPECT_EQ(r.name(), c.refusal.empty() ? c.name : "A");
        if (c.refusal.empty()) {
            EXPECT_EQ(r.address(), c.address) << c.typed;
        }
    }
    CRegistration first(1, "", "", "");
    EXPECT_EQ(first.accept("10.0.0.1", cp932("山田"), cp932("営業")), "");
    EXPECT_EQ(first.changed(), 1);
    EXPECT_EQ(first.group(), cp932("営業"));
}

// The destination rules: the two sorted lists, the own group, the enabling table and the refusals.
CUserDirectory directory(
    std::initializer_list<std::tuple<uint32_t, const char*, const char*>> users) {
    CUserDirectory d;
    for (const auto& [on, name, group] : users) d.add(on, cp932(name), cp932(group));
    return d;
}

// Groups are sorted ignoring case, one entry per group in the form met first; members match the
// shown group exactly and are deduplicated only when byte for byte equal. The own group is
// matched whole, not by its first letters.
TEST(SendTargetRules, ListsAreSortedFoldedAndDeduplicatedAndTheOwnGroupIsMatchedWhole) {
    const CUserDirectory d = directory({{1, "a", "Sales"},
                                        {0, "b", "sales"},
                                        {1, "c", "beta"},
                                        {0, "d", "Alpha"},
                                        {1, "a", "Sales"},
                                        {1, "A", "Sales"},
                                        {0, "a", "Sales"}});
    CSendTargetRules rules(&d, "SALES");
    EXPECT_EQ(rules.groups().entries(), (test::Names{"Alpha", "beta", "Sales"}));
    ASSERT_EQ(rules.selectedGroup(), 2);
    EXPECT_TRUE(rules.groupsFilled());
    EXPECT_EQ(rules.members().entries(),
              (test::Names{cp932("×  a"), cp932("○  A"), cp932("○  a")}));
    rules.selectGroup(0);
    EXPECT_EQ(rules.members().entries(), (test::Names{cp932("×  d")}));
    const CUserDirectory dev = directory({{1, "a", "devops"}, {1, "b", "dev"}, {1, "c", "x"}});
    EXPECT_EQ(CSendTargetRules(&dev, "dev").selectedGroup(), 0);
    EXPECT_EQ(CSendTargetRules(&dev, "de").selectedGroup(), -1);
    EXPECT_EQ(CSendTargetRules(&dev, "").selectedGroup(), -1);
}

TEST(SendTargetRules, RadioButtonsSetTypeAndEnableTheLists) {
    const CUserDirectory d = directory({{1, "a", "g"}});
    CSendTargetRules rules(&d, "g");
    EXPECT_EQ(rules.sendType(), CSendTargetRules::SEND_NONE);
    EXPECT_FALSE(rules.memberListEnabled());
    EXPECT_FALSE(rules.groupListEnabled());
    // The type, whether the member list and the group list are enabled.
    for (const auto& [type, members, groups] :
         {std::tuple{SEND_TO_ALL, false, false}, std::tuple{SEND_TO_ALL_CONNECTED, false, false},
          std::tuple{SEND_TO_GROUP, false, true}, std::tuple{SEND_TO_GROUP_CONNECTED, false, true},
          std::tuple{SEND_TO_USER, true, true}}) {
        rules.chooseSendType(type);
        EXPECT_EQ(rules.sendType(), type);
        EXPECT_EQ(rules.memberListEnabled(), members) << type;
        EXPECT_EQ(rules.groupListEnabled(), groups) << type;
    }
    // 1006, a member, then 1002: everyone, with the group and no user.
    rules.selectMember(0);
    rules.chooseSendType(SEND_TO_ALL);
    EXPECT_EQ(rules.accept(), "");
    EXPECT_EQ(rules.sendType(), SEND_TO_ALL);
    EXPECT_EQ(rules.group(), "g");
    EXPECT_EQ(rules.chosenUser(), "");
}

// The four refusals; with no directory, or an empty one, every type is refused.
TEST(SendTargetRules, TheFourRefusals) {
    const CUserDirectory d = directory({{1, "a", "g"}, {1, "b", "h"}});
    CSendTargetRules rules(&d, "other");
    EXPECT_EQ(rules.accept(), cp932("送信タイプを選択してください。\n"));
    rules.chooseSendType(SEND_TO_GROUP);
    EXPECT_EQ(rules.accept(), cp932("グループを選択してください。\n"));
    rules.chooseSendType(SEND_TO_ALL);
    EXPECT_EQ(rules.accept(), cp932("グループが正しく選択されていません。\n"));
    rules.chooseSendType(SEND_TO_USER);
    rules.selectGroup(1);
    EXPECT_EQ(rules.accept(), cp932("名前が選択されていません。\n"));
    rules.chooseSendType(SEND_TO_ALL_CONNECTED);
    EXPECT_EQ(rules.accept(), "");
    EXPECT_EQ(rules.group(), "h");
    const CUserDirectory empty;
    for (const CUserDirectory* none : {static_cast<const CUserDirectory*>(nullptr), &empty}) {
        CSendTargetRules nothing(none, "g");
        EXPECT_EQ(nothing.groups().count(), 0);
        for (int32_t type = SEND_TO_USER; type <= SEND_TO_ALL_CONNECTED; ++type) {
            nothing.chooseSendType(type);
            EXPECT_EQ(nothing.accept(), cp932(type <= SEND_TO_GROUP_CONNECTED
                                                  ? "グループを選択してください。\n"
                                                  : "グループが正しく選択されていません。\n"));
        }
    }
}

TEST(UserDirectory, CutsFieldsAtTwentyBytesOnACharacterAndRefusesWhenFull) {
    CUserDirectory d;
    // 19 single bytes then a double-byte character: the character does not fit whole.
    ASSERT_TRUE(d.add(1, std::string(19, 'n') + cp932("あ"), std::string("grp\0junk", 8)));
    EXPECT_EQ(d.name(0), std::string(19, 'n'));
    EXPECT_EQ(d.group(0), "grp");
    for (int i = 1; i < CUserDirectory::MAX_ENTRIES; ++i) ASSERT_TRUE(d.add(0, "u", "g"));
    EXPECT_FALSE(d.add(0, "u", "g"));
    EXPECT_EQ(d.count(), CUserDirectory::MAX_ENTRIES);
}

// The mail directory rules of the user settings dialog: completion, creation on request, the
// refusals.
struct DirectoryCase {
    std::string typed;
    int answer;  // to the creation question; 0 when none is expected
    Rules::Outcome outcome;
    std::string dir;               // the field afterwards
    std::string lastBox;           // after the question, if any; empty for none
    std::string existsAfterwards;  // a directory that must exist afterwards, or must not ("!")
};

TEST(UserSettingsRules, CompletesCreatesOnRequestOrRefuses) {
    test::TempDir tmp;
    const std::string base = tmp.path.substr(0, tmp.path.size() - 1);
    auto ofLength = [&](size_t length) {
        return tmp.path + std::string(length - tmp.path.size(), 'd');
    };
    const std::string refusal = cp932("ユーザーディレクトリを正しく設定して下さい。\n");
    // Japanese folder names take 2 bytes in cp932 but 3 on disk: 99 of them do not leave room for
    // the mail file names.
    const std::string japanese = "/" + test::repeat(cp932("あ"), 99);
    ASSERT_TRUE(replaceFileAtomically(tmp.file("plain"), "x"));
    const DirectoryCase cases[] = {
        {base, 0, Rules::ACCEPTED, tmp.path, "", ""},
        {tmp.path, 0, Rules::ACCEPTED, tmp.path, "", ""},
        {"/a/", 0, Rules::REFUSED, "/a/", refusal, ""},
        {"mail/here", 0, Rules::REFUSED, "mail/here", refusal, ""},
        {japanese, 0, Rules::REFUSED, japanese, refusal, ""},
        {tmp.path + "mail", IDCANCEL, Rules::REFUSED, tmp.path + "mail", "",
         "!" + tmp.path + "mail"},
        {tmp.path + "mail", IDOK, Rules::ACCEPTED, tmp.path + "mail/", "", tmp.path + "mail"},
        {tmp.path + "no/such/mail/", IDOK, Rules::REFUSED, tmp.path + "no/such/mail/",
         cp932("ディレクトリ作成に失敗しました。\n"), ""},
        {tmp.file("plain"), 0, Rules::REFUSED, tmp.file("plain"),
         tmp.file("plain") + "/" + cp932(" はディレクトリではありません。"), ""},
        // The completed directory must fit 200 bytes; it was created before the refusal.
        {ofLength(200), IDOK, Rules::REFUSED_COMPLETED, ofLength(200) + "/",
         cp932("200 文字以内で入力してください。"), ofLength(200)},
        {ofLength(199), IDOK, Rules::ACCEPTED, ofLength(199) + "/", "", ""},
    };
    const std::string question = cp932("ディレクトリは存在しません。新規に作成しますか？");
    for (const DirectoryCase& c : cases) {
        CScriptedMessageBoxes boxes;
        if (c.answer != 0) boxes.queueAnswer(c.answer);
        std::string dir = c.typed;
        EXPECT_EQ(Rules::acceptDirectory(dir), c.outcome) << c.typed;
        EXPECT_EQ(dir, c.dir);
        test::Names expected;
        if (c.answer != 0) expected.push_back(question);
        if (!c.lastBox.empty()) expected.push_back(c.lastBox);
        EXPECT_EQ(boxes.texts(), expected) << c.typed;
        if (!c.existsAfterwards.empty() && c.existsAfterwards[0] == '!') {
            EXPECT_FALSE(std::filesystem::exists(c.existsAfterwards.substr(1)));
        } else if (!c.existsAfterwards.empty()) {
            EXPECT_TRUE(std::filesystem::is_directory(c.existsAfterwards)) << c.existsAfterwards;
        }
    }
}

}  // namespace
}  // namespace tovi
