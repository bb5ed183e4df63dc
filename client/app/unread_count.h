// CUnreadCount: how the number of unread mails (rows marked "●" in the inbox) shows outside the
// list: drawn on the tray icon ("1" to "99", then "99+"), in the icon's tip ("トヴィカ（未読 3）")
// and, only while the window is hidden in the tray, as its title. At zero all three are the plain
// icon and "トヴィカ".
//
// Texts are UTF-8 (they go straight to widgets). Plain C++; any thread.
#pragma once

#include <string>
#include <vector>

#include "client/app/mailbox_list.h"

namespace tovi {

class CUnreadCount {
  public:
    static constexpr int BADGE_LIMIT = 99;

    static int count(const std::vector<MailRow>& inboxRows);
    // "" for 0, "1" .. "99", "99+" above.
    static std::string badgeText(int unread);
    // "トヴィカ", or "トヴィカ（未読 N）".
    static std::string toolTip(int unread);
    // The window's title: the tip's text while it is hidden in the tray, else "トヴィカ".
    static std::string windowTitle(int unread, bool hiddenInTray);
};

}  // namespace tovi
