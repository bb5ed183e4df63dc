#include "server/app/user_list.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/cp932.h"
#include "platform/file.h"

namespace tovi {

namespace {

unsigned char foldCase(unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

}  // namespace

bool CUserList::collatesBefore(const Line& a, const Line& b) {
    // UTF-8 byte order is character code order.
    const std::string& x = a.display;
    const std::string& y = b.display;
    const size_t n = std::min(x.size(), y.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char p = foldCase(static_cast<unsigned char>(x[i]));
        const unsigned char q = foldCase(static_cast<unsigned char>(y[i]));
        if (p != q) return p < q;
    }
    if (x.size() != y.size()) return x.size() < y.size();
    return a.name < b.name;
}

size_t CUserList::insert(const std::string& name) {
    Line line;
    line.name = name.substr(0, std::min(name.find('\0'), NAME_SIZE));
    line.display = cp932ToUtf8Lossy(line.name);
    auto at = std::upper_bound(m_lines.begin(), m_lines.end(), line, collatesBefore);
    return static_cast<size_t>(m_lines.insert(at, std::move(line)) - m_lines.begin());
}

std::string CUserList::removeAt(size_t index) {
    if (index >= m_lines.size()) return {};
    std::string name = std::move(m_lines[index].name);
    m_lines.erase(m_lines.begin() + static_cast<long>(index));
    return name;
}

bool CUserList::reload() {
    m_lines.clear();
    // The worker replaces the file atomically, so an open file is always whole; the attempts
    // cover a moment in which it cannot be opened at all.
    CFile file;
    bool opened = false;
    for (int attempt = 0; attempt < OPEN_ATTEMPTS && !opened; ++attempt) {
        opened = file.open(m_path, CFile::READ);
        if (!opened) sleepMs(1);
    }
    if (!opened) return false;
    char record[RECORD_SIZE];
    while (file.readExact(record, RECORD_SIZE)) insert(std::string(record, NAME_SIZE));
    file.close();
    return true;
}

}  // namespace tovi
