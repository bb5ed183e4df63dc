// CSortedTextList: the entries of a sorted list box or drop-down, kept in plain C++ so that the
// dialogs' filling rules can be tested without a display. Each entry is inserted at its collated
// place, comparing cp932 texts with the case of single-byte letters ignored (double-byte
// characters compare by their bytes; texts equal but for case by their bytes). A duplicate is not
// added again: a text equal ignoring case to one already there (the group drop-down), or, for a
// list that keeps case apart, a byte-for-byte equal one (the member list, where two users may
// differ only in case). The widgets show the entries in this order.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tovi {

class CSortedTextList {
  public:
    // Negative, 0 or positive like strcmp, ignoring the case of single-byte letters.
    static int compareIgnoringCase(const std::string& a, const std::string& b);

    void clear() { m_entries.clear(); }
    explicit CSortedTextList(bool foldDuplicates = true) : m_foldDuplicates(foldDuplicates) {}

    // Index of the new entry, or -1 when a duplicate is already there.
    int insert(const std::string& text);
    int find(const std::string& text) const;  // equal ignoring case, -1 when none
    int count() const { return static_cast<int>(m_entries.size()); }
    const std::string& at(int index) const { return m_entries.at(index); }
    const std::vector<std::string>& entries() const { return m_entries; }

  private:
    bool m_foldDuplicates;
    std::vector<std::string> m_entries;
};

}  // namespace tovi
