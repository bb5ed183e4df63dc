// CUserDirectory: the client's copy of the server's last user list, one entry per registered
// user in the order of the answer: connected flag, user name, group (cp932, at most 20 bytes
// each). The main window rebuilds it from every user-list answer; the destination dialog reads
// it. User-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovi {

class CUserDirectory {
  public:
    // More entries than a user-list packet can carry are refused.
    static constexpr int MAX_ENTRIES = 1000;
    static constexpr size_t NAME_WIDTH = 20;

    void clear();
    // Appends one entry; name and group are cut to 20 bytes on a character boundary and at a
    // NUL byte. False (nothing added) once MAX_ENTRIES entries are held.
    bool add(uint32_t connected, const std::string& name, const std::string& group);
    int count() const { return static_cast<int>(m_names.size()); }
    uint32_t connected(int index) const { return m_connected.at(index); }
    const std::string& name(int index) const { return m_names.at(index); }
    const std::string& group(int index) const { return m_groups.at(index); }

  private:
    std::vector<uint32_t> m_connected;
    std::vector<std::string> m_names;
    std::vector<std::string> m_groups;
};

}  // namespace tovi
