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

TEST(UserSettingsRules, ExistingFolderIsCompletedWithOneSlash) {
    test::TempDir tmp;
    CScriptedMessageBoxes boxes;
    std::string dir = tmp.path.substr(0, tmp.path.size() - 1);
    EXPECT_EQ(Rules::acceptDirectory(dir), Rules::ACCEPTED);
    EXPECT_EQ(dir, tmp.path);
    dir = tmp.path;
    EXPECT_EQ(Rules::acceptDirectory(dir), Rules::ACCEPTED);
    EXPECT_EQ(dir, tmp.path);
    EXPECT_TRUE(boxes.texts().empty());
}

TEST(UserSettingsRules, ShortRelativeAndUnstorablePathsAreRefused) {
    CScriptedMessageBoxes boxes;
    const std::string refusal = cp932("ユーザーディレクトリを正しく設定して下さい。\n");
    // Japanese folder names take 2 bytes in cp932 but 3 on disk: 100 of them do not leave room
    // for the mail file names.
    for (std::string dir :
         {std::string("/a/"), std::string("mail/here"), "/" + test::repeat(cp932("あ"), 99)}) {
        const std::string typed = dir;
        EXPECT_EQ(Rules::acceptDirectory(dir), Rules::REFUSED) << typed;
        EXPECT_EQ(dir, typed);
    }
    EXPECT_EQ(boxes.texts(), (test::Names{refusal, refusal, refusal}));
}

TEST(UserSettingsRules, MissingFolderIsCreatedOnlyOnRequestAndOnlyOneLevel) {
    test::TempDir tmp;
    CScriptedMessageBoxes boxes;
    const std::string question = cp932("ディレクトリは存在しません。新規に作成しますか？");
    std::string dir = tmp.path + "mail";
    boxes.queueAnswer(IDCANCEL);
    EXPECT_EQ(Rules::acceptDirectory(dir), Rules::REFUSED);
    EXPECT_EQ(dir, tmp.path + "mail");
    EXPECT_FALSE(std::filesystem::exists(tmp.path + "mail"));

    boxes.queueAnswer(IDOK);
    EXPECT_EQ(Rules::acceptDirectory(dir), Rules::ACCEPTED);
    EXPECT_EQ(dir, tmp.path + "mail/");
    EXPECT_TRUE(std::filesystem::is_directory(tmp.path + "mail"));

    dir = tmp.path + "no/such/mail/";
    boxes.queueAnswer(IDOK);
    EXPECT_EQ(Rules::acceptDirectory(dir), Rules::REFUSED);
    EXPECT_EQ(boxes.texts(), (test::Names{question, question, question,
                                          cp932("ディレクトリ作成に失敗しました。\n")}));
}

TEST(UserSettingsRules, FileIsNotADirectory) {
    test::TempDir tmp;
    CScriptedMessageBoxes boxes;
    ASSERT_TRUE(replaceFileAtomically(tmp.file("plain"), "x"));
    std::string dir = tmp.file("plain");
    EXPECT_EQ(Rules::acceptDirectory(dir), Rules::REFUSED);
    EXPECT_EQ(boxes.texts(),
              (test::Names{tmp.file("plain") + "/" + cp932(" はディレクトリではありません。")}));
}

TEST(UserSettingsRules, CompletedDirectoryMustFitTwoHundredBytes) {
    test::TempDir tmp;
    CScriptedMessageBoxes boxes;
    auto typed = [&](size_t length) {
        return tmp.path + std::string(length - tmp.path.size(), 'd');
    };
    std::string dir = typed(200);
    boxes.queueAnswer(IDOK);
    EXPECT_EQ(Rules::acceptDirectory(dir), Rules::REFUSED_COMPLETED);
    EXPECT_EQ(dir, typed(200) + "/");
    EXPECT_TRUE(std::filesystem::is_directory(typed(200)));  // created before the refusal
    EXPECT_EQ(boxes.texts().back(), cp932("200 文字以内で入力してください。"));

    dir = typed(199);
    boxes.queueAnswer(IDOK);
    EXPECT_EQ(Rules::acceptDirectory(dir), Rules::ACCEPTED);
    EXPECT_EQ(dir.size(), 200u);
}

}  // namespace
}  // namespace tovi
