#include "client/dialogs/registration.h"

#include <algorithm>
#include <cstdio>

#include "platform/cp932.h"

namespace tovi {

CRegistration::CRegistration(int firstRun, const std::string& address, const std::string& name,
                             const std::string& group)
    : m_firstRun(firstRun),
      m_previousAddress(address),
      m_previousName(name),
      m_previousGroup(group),
      m_address(address),
      m_name(name),
      m_group(group) {}

std::string CRegistration::readAddressField(const std::string& field) {
    int parts[4] = {0, 0, 0, 0};
    int part = 0;
    for (char c : field) {
        if (c == '.') {
            if (++part == 4) break;
        } else if (c >= '0' && c <= '9') {
            parts[part] = std::min(255, parts[part] * 10 + (c - '0'));
        }
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", parts[0], parts[1], parts[2], parts[3]);
    return buf;
}

std::string CRegistration::accept(const std::string& addressField, const std::string& name,
                                  const std::string& group) {
    // An address the user left as it was shown is kept byte for byte, whatever its form.
    std::string address = m_previousAddress;
    if (m_firstRun != 0 && addressField != m_previousAddress) {
        address = readAddressField(addressField);
    }
    if (m_firstRun != 0 && (address.empty() || address == "0.0.0.0")) {
        return cp932Of("サーバアドレスを入力してください。\n");
    }
    if (name.empty()) return cp932Of("ユーザ名を入力してください。\n");
    if (group.empty()) return cp932Of("ユーザグループを入力してください。\n");
    m_address = address;
    m_name = name;
    m_group = group;
    m_changed =
        (m_address != m_previousAddress || m_name != m_previousName || m_group != m_previousGroup)
            ? 1
            : 0;
    return std::string();
}

}  // namespace tovi
