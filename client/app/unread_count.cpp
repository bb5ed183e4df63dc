#include "client/app/unread_count.h"

namespace tovi {

int CUnreadCount::count(const std::vector<MailRow>& inboxRows) {
    int unread = 0;
    for (const MailRow& row : inboxRows) unread += row.unread ? 1 : 0;
    return unread;
}

std::string CUnreadCount::badgeText(int unread) {
    if (unread <= 0) return "";
    if (unread > BADGE_LIMIT) return std::to_string(BADGE_LIMIT) + "+";
    return std::to_string(unread);
}

std::string CUnreadCount::toolTip(int unread) {
    if (unread <= 0) return "トヴィカ";
    return "トヴィカ（未読 " + std::to_string(unread) + "）";
}

std::string CUnreadCount::windowTitle(int unread, bool hiddenInTray) {
    return hiddenInTray ? toolTip(unread) : std::string("トヴィカ");
}

}  // namespace tovi
