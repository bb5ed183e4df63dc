// The seam through which everything a user is told outside the programs' own windows passes:
// modal message boxes with fixed texts (OK, or OK and Cancel) and the beep. Texts are cp932, as
// every text below the windows; implementations convert where they show them.
//
// The process has one current implementation: the Qt one in the programs, the scripted one in
// tests, the stderr one in the headless server. Any thread may call showMessage; it returns once
// the user (or the script) has answered, and the caller does nothing else meanwhile.
#pragma once

#include <string>

namespace tovi {

constexpr int MB_OK = 0;
constexpr int MB_OKCANCEL = 1;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

class CMessageBoxes {
public:
    virtual ~CMessageBoxes() = default;
    // Shows text with the buttons (MB_OK or MB_OKCANCEL); returns IDOK or IDCANCEL.
    virtual int show(const std::string& text, int buttons) = 0;
    virtual void beep() = 0;
};

// Installs the implementation used from now on (not owned; null restores the default, which
// writes to stderr and answers OK).
void setMessageBoxes(CMessageBoxes* boxes);
CMessageBoxes& messageBoxes();

inline int showMessage(const std::string& text, int buttons = MB_OK) {
    return messageBoxes().show(text, buttons);
}
inline void beep() { messageBoxes().beep(); }

}  // namespace tovi
