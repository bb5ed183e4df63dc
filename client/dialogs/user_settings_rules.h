// CUserSettingsRules: the OK step of the user settings dialog "ユーザー設定" for the mail
// directory, without the widgets. The directory (cp932, as typed) must be an absolute path longer
// than 3 bytes that the settings file and the mail file names can hold; it gets a trailing '/',
// is created on request (that one directory: its parent must exist), must be a directory, and
// must fit 200 bytes once completed. Refusals and the creation question go through the
// message-box seam.
//
// User-interface thread only.
#pragma once

#include <string>

namespace tovi {

class CUserSettingsRules {
  public:
    static constexpr int DIR_LIMIT = 200;

    enum Outcome {
        ACCEPTED = 0,           // dir holds the completed directory, which exists
        REFUSED = 1,            // the field keeps what the user typed
        REFUSED_COMPLETED = 2,  // the field shows dir, the completed directory
    };
    // dir: in the directory as typed, out the completed directory (ending with '/').
    static Outcome acceptDirectory(std::string& dir);
};

}  // namespace tovi
