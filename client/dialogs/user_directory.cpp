#include "client/dialogs/user_directory.h"

#include <cstring>

#include "platform/cp932.h"

namespace tovi {

namespace {

std::string field(const std::string& text) {
    std::string cut = text.substr(0, std::strlen(text.c_str()));
    return cut.substr(0, cp932PrefixLength(cut, CUserDirectory::NAME_WIDTH));
}

}  // namespace

void CUserDirectory::clear() {
    m_connected.clear();
    m_names.clear();
    m_groups.clear();
}

bool CUserDirectory::add(uint32_t connected, const std::string& name, const std::string& group) {
    if (count() >= MAX_ENTRIES) return false;
    m_connected.push_back(connected);
    m_names.push_back(field(name));
    m_groups.push_back(field(group));
    return true;
}

}  // namespace tovi
