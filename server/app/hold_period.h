// CHoldPeriod: the decisions of the holding-period dialog. The settings keep the hold limit of
// held mail in seconds (DELLIMIT, 0 = keep for ever); the operator sees and types whole days.
//
//   - The dialog opens with the box ticked and the days shown, rounded up, whenever mail
//     expires; otherwise the box is clear and the days empty. A limit that is not a whole number
//     of days (or longer than the field can show) is named in a note, in seconds, as the file
//     holds it.
//   - The days are digits only, at most 4 of them; no days (or 0) with the box ticked reads as
//     0: mail is kept for ever.
//   - Only a change of what the dialog showed is written: confirming the dialog as it opened
//     keeps a limit that is not a whole number of days (a hand-set DELLIMIT=3600 stays 3600).
//
// Plain value class; used by the main thread.
#pragma once

#include <cstdint>
#include <string>

namespace tovi {

class CHoldPeriod {
  public:
    static constexpr int32_t SECONDS_PER_DAY = 86400;
    static constexpr int MAX_DIGITS = 4;
    // The most days the field can show; a longer hand-set limit is shown as this many days and
    // kept as it is unless the operator changes the days.
    static constexpr int MAX_DAYS = 9999;

    // currentLimit: the hold limit in force, in seconds (below 0 counts as 0).
    explicit CHoldPeriod(int32_t currentLimit);

    int initialDays() const { return m_initialDays; }
    bool initiallyChecked() const { return m_initialDays > 0; }
    // The text the days field opens with: the days in decimal, or empty.
    std::string initialText() const;
    // The note on a limit the days cannot show exactly (UTF-8), empty when they can.
    std::string fileNote() const;

    // Whole days of a limit in seconds, rounded up; 0 for 0 or less, at most MAX_DAYS.
    static int daysOf(int32_t seconds);
    // The days of the field's text: its leading digits (at most 4), 0 when there are none.
    static int parseDays(const std::string& text);
    // Whether text can be typed into the days field (digits only, at most 4).
    static bool isAcceptableText(const std::string& text);
    // Whether the dialog may be confirmed in this state.
    static bool canConfirm(bool checked, const std::string& text);

    // The days the dialog returns when confirmed: those typed with the box ticked, else 0.
    static int confirmedDays(bool checked, const std::string& text);
    // Whether confirming with days changes anything; if so, newLimit is the limit to write.
    bool changedLimit(int days, int32_t& newLimit) const;

  private:
    int32_t m_limit;
    int m_initialDays;
};

}  // namespace tovi
