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

bool CRegistration::keptAsTyped(const std::string& text) {
    if (text.empty()) return true;
    auto edge = [](char c) { return c == ' ' || c == '\t' || c == '"'; };
    return !edge(text.front()) && !edge(text.back());
}

bool CRegistration::typedAddressFits(const std::string& field) {
    if (field.size() > ADDRESS_LIMIT) return false;
    if (field.find_first_not_of("0123456789.") == std::string::npos) {
        // Dotted numbers: at most four, each 0 to 255 (blank parts read as 0).
        int parts = 1, value = 0;
        for (char c : field) {
            if (c == '.') {
                if (++parts > 4) return false;
                value = 0;
            } else if ((value = value * 10 + (c - '0')) > 255) {
                return false;
            }
        }
        return true;
    }
    // A host name: labels of letters, digits and hyphens between single dots, no label beginning
    // or ending with a hyphen.
    size_t begin = 0;
    for (;;) {
        size_t end = field.find('.', begin);
        if (end == std::string::npos) end = field.size();
        if (end == begin || field[begin] == '-' || field[end - 1] == '-') return false;
        for (size_t i = begin; i < end; ++i) {
            const char c = field[i];
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || c == '-';
            if (!ok) return false;
        }
        if (end == field.size()) return true;
        begin = end + 1;
    }
}

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
        if (!typedAddressFits(addressField)) return cp932Of("サーバアドレスが正しくありません。\n");
        const bool numeric = addressField.find_first_not_of("0123456789.") == std::string::npos;
        address = numeric ? readAddressField(addressField) : addressField;
    }
    if (m_firstRun != 0 && (address.empty() || address == "0.0.0.0")) {
        return cp932Of("サーバアドレスを入力してください。\n");
    }
    // A name registered as typed but read back from Tovic.ini trimmed would log in as another
    // user at the next start: blanks and quotes at either end are refused.
    if (name.empty()) return cp932Of("ユーザ名を入力してください。\n");
    if (!keptAsTyped(name)) return cp932Of("ユーザ名の前後に空白や引用符(\")は使えません。\n");
    if (group.empty()) return cp932Of("ユーザグループを入力してください。\n");
    if (!keptAsTyped(group))
        return cp932Of("ユーザグループの前後に空白や引用符(\")は使えません。\n");
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
