#include "server/app/hold_period.h"

namespace tovi {

CHoldPeriod::CHoldPeriod(int32_t currentLimit) : m_initialDays(daysOf(currentLimit)) {}

int CHoldPeriod::daysOf(int32_t seconds) { return seconds > 0 ? seconds / SECONDS_PER_DAY : 0; }

std::string CHoldPeriod::initialText() const {
    return m_initialDays > 0 ? std::to_string(m_initialDays) : std::string();
}

int CHoldPeriod::parseDays(const std::string& text) {
    int days = 0;
    for (size_t i = 0; i < text.size() && i < MAX_DIGITS && text[i] >= '0' && text[i] <= '9'; ++i)
        days = days * 10 + (text[i] - '0');
    return days;
}

bool CHoldPeriod::isAcceptableText(const std::string& text) {
    if (text.size() > MAX_DIGITS) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool CHoldPeriod::canConfirm(bool checked, const std::string& text) {
    if (!checked) return true;
    return isAcceptableText(text) && parseDays(text) > 0;
}

int CHoldPeriod::confirmedDays(bool checked, const std::string& text) {
    return checked ? parseDays(text) : 0;
}

bool CHoldPeriod::changedLimit(int days, int32_t& newLimit) const {
    if (days < 0) days = 0;
    if (days == m_initialDays) return false;
    newLimit = days * SECONDS_PER_DAY;
    return true;
}

}  // namespace tovi
