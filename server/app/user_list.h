// CUserList: what the server window lists, read from the user file TovisUser.dat (the 63-byte
// records kept by the worker's user table: name, group, address). Only the names are listed,
// each as the at most 20 bytes stored before its first NUL, in collated order: ASCII letters
// compare without regard to case, everything else by its character code, and names that only
// differ in case follow the byte order of their cp932 bytes. Each line keeps the stored bytes, so
// that a deletion names the user exactly as the worker knows it, whatever the display shows.
//
// The list is not refreshed by itself: reload() reads the file again.
//
// Used by the main thread only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tovi {

class CUserList {
  public:
    static constexpr size_t RECORD_SIZE = 63;
    static constexpr size_t NAME_SIZE = 20;
    // The file is opened this many times, 1 ms apart, before the list is left empty.
    static constexpr int OPEN_ATTEMPTS = 5;

    struct Line {
        std::string name;     // the stored bytes (cp932)
        std::string display;  // the name as UTF-8, unreadable bytes as U+FFFD
    };

    explicit CUserList(std::string userFilePath) : m_path(std::move(userFilePath)) {}

    // Empties the list and reads the file again. False when it could not be opened (the list
    // then stays empty); a torn last record is not read.
    bool reload();
    // Inserts a name (cp932 bytes, cut at 20) at its collated place; returns its index.
    size_t insert(const std::string& name);
    // Removes line index and returns its stored name; empty when there is no such line.
    std::string removeAt(size_t index);

    size_t count() const { return m_lines.size(); }
    const Line& line(size_t index) const { return m_lines[index]; }
    const std::vector<Line>& lines() const { return m_lines; }

    // True when a sorts before b in the list.
    static bool collatesBefore(const Line& a, const Line& b);

  private:
    std::string m_path;
    std::vector<Line> m_lines;
};

}  // namespace tovi
