#include "server/app/hold_period.h"

#include <algorithm>

namespace tovi {

CHoldPeriod::CHoldPeriod(int32_t currentLimit)
    : m_limit(std::max<int32_t>(currentLimit, 0)), m_initialDays(daysOf(currentLimit)) {}

int CHoldPeriod::daysOf(int32_t seconds) {
    if (seconds <= 0) return 0;
    const int64_t days = (int64_t{seconds} + SECONDS_PER_DAY - 1) / SECONDS_PER_DAY;
    return static_cast<int>(std::min<int64_t>(days, MAX_DAYS));
}

std::string CHoldPeriod::initialText() const {
    return m_initialDays > 0 ? std::to_string(m_initialDays) : std::string();
}

std::string CHoldPeriod::fileNote() const {
    if (m_limit == 0 || int64_t{m_initialDays} * SECONDS_PER_DAY == m_limit) return {};
    return "Tovis.ini の設定は " + std::to_string(m_limit) + " 秒です（日数は切り上げて表示）";
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
    return !checked || isAcceptableText(text);
}

int CHoldPeriod::confirmedDays(bool checked, const std::string& text) {
    return checked ? parseDays(text) : 0;
}

bool CHoldPeriod::changedLimit(int days, int32_t& newLimit) const {
    days = std::clamp(days, 0, MAX_DAYS);
    if (days == m_initialDays) return false;
    newLimit = days * SECONDS_PER_DAY;
    return true;
}

}  // namespace tovi
