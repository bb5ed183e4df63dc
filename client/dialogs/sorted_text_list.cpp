#include "client/dialogs/sorted_text_list.h"

#include "platform/cp932.h"

namespace tovi {

int CSortedTextList::compareIgnoringCase(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        // A character is one byte, or two when it starts with a lead byte; only single-byte
        // letters fold (a trail byte may look like a letter).
        const size_t la = (isCp932LeadByte(a[i]) && i + 1 < a.size()) ? 2 : 1;
        const size_t lb = (isCp932LeadByte(b[j]) && j + 1 < b.size()) ? 2 : 1;
        for (size_t k = 0; k < la || k < lb; ++k) {
            int ca = k < la ? static_cast<unsigned char>(a[i + k]) : -1;
            int cb = k < lb ? static_cast<unsigned char>(b[j + k]) : -1;
            if (la == 1 && ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
            if (lb == 1 && cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
            if (ca != cb) return ca < cb ? -1 : 1;
        }
        i += la;
        j += lb;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

int CSortedTextList::find(const std::string& text) const {
    for (int i = 0; i < count(); ++i)
        if (compareIgnoringCase(m_entries[i], text) == 0) return i;
    return -1;
}

int CSortedTextList::insert(const std::string& text) {
    int at = 0;
    while (at < count()) {
        int c = compareIgnoringCase(m_entries[at], text);
        if (c == 0 && m_foldDuplicates) return -1;
        if (c == 0) c = m_entries[at].compare(text);
        if (c == 0) return -1;
        if (c > 0) break;
        ++at;
    }
    m_entries.insert(m_entries.begin() + at, text);
    return at;
}

}  // namespace tovi
