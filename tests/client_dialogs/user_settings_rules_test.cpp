// The mail directory rules of the user settings dialog: completion, creation on request, the
// refusals.
#include "client/dialogs/user_settings_rules.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "dialog_test_support.h"
#include "ui/scripted_message_boxes.h"

namespace tovi {
namespace {

using test::cp932;
using Rules = CUserSettingsRules;

struct Case {
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
    const Case cases[] = {
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
    for (const Case& c : cases) {
        CScriptedMessageBoxes boxes;
        if (c.answer != 0) boxes.queueAnswer(c.answer);
        std::string dir = c.typed;
        EXPECT_EQ(Rules::acceptDirectory(dir), c.outcome) << c.typed;
        EXPECT_EQ(dir, c.dir);
        test::Names expected;
        if (c.answer != 0) expected.push_back(question);
        if (!c.lastBox.empty()) expected.push_back(c.lastBox);
        EXPECT_EQ(boxes.texts(), expected) << c.typed;
        if (!c.existsAfterwards.empty() && c.existsAfterwards[0] == '!')
            EXPECT_FALSE(std::filesystem::exists(c.existsAfterwards.substr(1)));
        else if (!c.existsAfterwards.empty())
            EXPECT_TRUE(std::filesystem::is_directory(c.existsAfterwards)) << c.existsAfterwards;
    }
}

}  // namespace
}  // namespace tovi
