// The destination rules: the two sorted lists, the own group, the enabling table and the refusals.
#include "client/dialogs/send_target_rules.h"

#include <gtest/gtest.h>

#include "protocol/packets.h"
#include "support/test_support.h"

namespace tovi {
namespace {

using test::cp932;

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
    struct Row {
        int32_t type;
        bool members;
        bool groups;
    };
    for (const Row& r : {Row{SEND_TO_ALL, false, false}, Row{SEND_TO_ALL_CONNECTED, false, false},
                         Row{SEND_TO_GROUP, false, true}, Row{SEND_TO_GROUP_CONNECTED, false, true},
                         Row{SEND_TO_USER, true, true}}) {
        rules.chooseSendType(r.type);
        EXPECT_EQ(rules.sendType(), r.type);
        EXPECT_EQ(rules.memberListEnabled(), r.members) << r.type;
        EXPECT_EQ(rules.groupListEnabled(), r.groups) << r.type;
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
    d.clear();
    EXPECT_EQ(d.count(), 0);
}

}  // namespace
}  // namespace tovi
