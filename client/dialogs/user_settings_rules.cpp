#include "client/dialogs/user_settings_rules.h"

#include <filesystem>
#include <system_error>

#include "client/connection/message_file.h"
#include "client/dialogs/compose_text.h"
#include "platform/cp932.h"
#include "ui/message_boxes.h"

namespace tovi {

CUserSettingsRules::Outcome CUserSettingsRules::acceptDirectory(std::string& dir) {
    // Too short to be a mail folder, not absolute (the folder would depend on the current
    // directory), or too long for the settings file and the mail file names behind it.
    if (dir.size() <= 3 || dir[0] != '/' || !CMessageFile::directoryFits(dir)) {
        showMessage(cp932Of("ユーザーディレクトリを正しく設定して下さい。\n"));
        return REFUSED;
    }
    const std::string typed = dir;
    std::string test;
    if (dir.back() != '/') {
        test = dir;
        dir += '/';
    } else {
        test = dir.substr(0, dir.size() - 1);
    }
    std::string fsPath;
    cp932ToUtf8(test, fsPath);  // valid: directoryFits converted it
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(fsPath, error);
    if (!std::filesystem::exists(status)) {
        if (showMessage(cp932Of("ディレクトリは存在しません。新規に作成しますか？"), MB_OKCANCEL) !=
            IDOK) {
            dir = typed;
            return REFUSED;
        }
        // That one folder only: its parent must be there already.
        if (!std::filesystem::create_directory(fsPath, error) || error) {
            showMessage(cp932Of("ディレクトリ作成に失敗しました。\n"));
            dir = typed;
            return REFUSED;
        }
    } else if (!std::filesystem::is_directory(status)) {
        showMessage(dir + cp932Of(" はディレクトリではありません。"));
        dir = typed;
        return REFUSED;
    }
    if (dir.size() > static_cast<size_t>(DIR_LIMIT)) {
        showMessage(CComposeText::fieldLimitText(DIR_LIMIT));
        return REFUSED_COMPLETED;
    }
    return ACCEPTED;
}

}  // namespace tovi
