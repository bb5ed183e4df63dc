#include "client/app/mail_filter.h"

#include <string.h>

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

#include "client/connection/message_file.h"
#include "client/dialogs/mail_view_text.h"
#include "platform/cp932.h"

namespace tovi {

namespace {

// Half-width katakana U+FF61..U+FF9F as their full-width forms.
const char16_t HALF_KANA[] = {
    0x3002, 0x300C, 0x300D, 0x3001, 0x30FB, 0x30F2, 0x30A1, 0x30A3, 0x30A5, 0x30A7, 0x30A9,
    0x30E3, 0x30E5, 0x30E7, 0x30C3, 0x30FC, 0x30A2, 0x30A4, 0x30A6, 0x30A8, 0x30AA, 0x30AB,
    0x30AD, 0x30AF, 0x30B1, 0x30B3, 0x30B5, 0x30B7, 0x30B9, 0x30BB, 0x30BD, 0x30BF, 0x30C1,
    0x30C4, 0x30C6, 0x30C8, 0x30CA, 0x30CB, 0x30CC, 0x30CD, 0x30CE, 0x30CF, 0x30D2, 0x30D5,
    0x30D8, 0x30DB, 0x30DE, 0x30DF, 0x30E0, 0x30E1, 0x30E2, 0x30E4, 0x30E6, 0x30E8, 0x30E9,
    0x30EA, 0x30EB, 0x30EC, 0x30ED, 0x30EF, 0x30F3, 0x309B, 0x309C};

bool takesVoicedMark(char32_t kana) {
    return (kana >= 0x30AB && kana <= 0x30C8 && kana != 0x30C3) || kana == 0x30A6 ||
           (kana >= 0x30CF && kana <= 0x30DB && (kana - 0x30CF) % 3 == 0);
}
bool takesSemiVoicedMark(char32_t kana) {
    return kana >= 0x30CF && kana <= 0x30DB && (kana - 0x30CF) % 3 == 0;
}

char32_t foldOne(char32_t c) {
    if (c >= 0xFF01 && c <= 0xFF5E) c -= 0xFEE0;
    if (c == 0x3000) c = 0x20;
    if (c >= 'A' && c <= 'Z') return c + 0x20;
    if (c >= 0x391 && c <= 0x3A9) return c + 0x20;  // Greek
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;  // Cyrillic
    if (c == 0x401) return 0x451;
    return c;
}

// Decodes one UTF-8 sequence at i (advancing i); U+FFFD for a broken one.
char32_t nextCodePoint(const std::string& s, size_t& i) {
    const unsigned char b = static_cast<unsigned char>(s[i++]);
    if (b < 0x80) return b;
    int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
    if (extra < 0) return 0xFFFD;
    char32_t c = b & (0x3F >> extra);
    for (; extra > 0; --extra) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0xFFFD;
        c = (c << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    return c;
}

void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Every cp932 character, single-byte or double-byte, as the folded UTF-8 it compares as. Built
// once (about 11 000 conversions); afterwards folding a mail's text is one look-up a character,
// which keeps reading 1 500 long mails for the find bar well below a second.
class CFoldTable {
  public:
    static const CFoldTable& instance() {
        static const CFoldTable table;
        return table;
    }
    // Appends the folded form of the character at text[i] (advancing i).
    void append(const std::string& text, size_t& i, std::string& out) const {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (isCp932LeadByte(b) && i + 1 < text.size()) {
            const Entry& e = m_double[(b << 8) | static_cast<unsigned char>(text[i + 1])];
            out.append(e.bytes, e.length);
            i += 2;
            return;
        }
        ++i;
        // A half-width kana and the voiced or semi-voiced mark after it read as one character.
        if (i < text.size()) {
            const unsigned char mark = static_cast<unsigned char>(text[i]);
            const Entry* joined = mark == 0xDE   ? &m_voiced[b]
                                  : mark == 0xDF ? &m_semiVoiced[b]
                                                 : nullptr;
            if (joined != nullptr && joined->length > 0) {
                out.append(joined->bytes, joined->length);
                ++i;
                return;
            }
        }
        out.append(m_single[b].bytes, m_single[b].length);
    }

  private:
    struct Entry {
        unsigned char length = 0;
        char bytes[7] = {};
    };
    static void set(Entry& e, const std::string& cp932) {
        const std::string folded = CMailFilter::fold(cp932ToUtf8Lossy(cp932));
        e.length = static_cast<unsigned char>(std::min(folded.size(), sizeof e.bytes));
        folded.copy(e.bytes, e.length);
    }
    CFoldTable() : m_double(65536) {
        for (int b = 0; b < 256; ++b) {
            if (isCp932LeadByte(static_cast<unsigned char>(b))) {
                for (int t = 0x40; t <= 0xFC; ++t)
                    set(m_double[(b << 8) | t], std::string{char(b), char(t)});
                continue;
            }
            set(m_single[b], std::string(1, char(b)));
            if (b >= 0xA6 && b <= 0xDD) {
                // Only where the two join into one character does the pair get an entry.
                for (auto [mark, table] :
                     {std::pair{0xDE, m_voiced}, std::pair{0xDF, m_semiVoiced}}) {
                    Entry pair;
                    set(pair, std::string{char(b), char(mark)});
                    Entry alone;
                    set(alone, std::string(1, char(b)));
                    if (pair.length == alone.length) table[b] = pair;
                }
            }
        }
    }
    Entry m_single[256];
    Entry m_voiced[256];
    Entry m_semiVoiced[256];
    std::vector<Entry> m_double;
};

std::string foldCp932(const std::string& cp932) {
    const CFoldTable& table = CFoldTable::instance();
    std::string out;
    out.reserve(cp932.size() * 3 / 2);
    for (size_t i = 0; i < cp932.size();) table.append(cp932, i, out);
    return out;
}

}  // namespace

std::string CMailFilter::fold(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        char32_t c = nextCodePoint(utf8, i);
        if (c >= 0xFF61 && c <= 0xFF9F) {
            c = HALF_KANA[c - 0xFF61];
            // A voiced (ﾞ) or semi-voiced (ﾟ) mark after a kana that takes it joins it.
            size_t j = i;
            if (j < utf8.size()) {
                const char32_t mark = nextCodePoint(utf8, j);
                if (mark == 0xFF9E && takesVoicedMark(c)) {
                    c = c == 0x30A6 ? 0x30F4 : c + 1;
                    i = j;
                } else if (mark == 0xFF9F && takesSemiVoicedMark(c)) {
                    c += 2;
                    i = j;
                }
            }
        }
        append(out, foldOne(c));
    }
    return out;
}

std::string CMailFilter::searchableText(const MailRow& row, const std::string* text) {
    std::string searchable = foldCp932(row.peer);
    searchable += '\n';
    searchable += foldCp932(row.title);
    if (text != nullptr) {
        std::string title, body;
        CMailViewText::split(*text, title, body);
        searchable += '\n';
        searchable += foldCp932(body);
    }
    return searchable;
}

bool CMailFilter::prepare(const std::string& fsDir, const std::vector<MailRow>& rows,
                          size_t maxReads) {
    std::unordered_set<std::string> present;
    present.reserve(rows.size());
    bool complete = true;
    for (const MailRow& row : rows) {
        present.insert(row.fileName);
        if (m_texts.count(row.fileName) != 0) continue;
        if (maxReads == 0) {
            complete = false;
            continue;
        }
        --maxReads;
        MailHead head;
        std::string text;
        const bool read = CMessageFile::read(fsDir + row.fileName, head, &text);
        m_texts.emplace(row.fileName, searchableText(row, read ? &text : nullptr));
    }
    for (auto it = m_texts.begin(); it != m_texts.end();) {
        it = present.count(it->first) == 0 ? m_texts.erase(it) : std::next(it);
    }
    return complete;
}

std::vector<size_t> CMailFilter::match(const std::vector<MailRow>& rows,
                                       const std::string& query) const {
    std::vector<size_t> shown;
    const std::string folded = fold(query);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (folded.empty()) {
            shown.push_back(i);
            continue;
        }
        const auto known = m_texts.find(rows[i].fileName);
        const std::string searchable =
            known != m_texts.end() ? std::string() : searchableText(rows[i], nullptr);
        const std::string& text = known != m_texts.end() ? known->second : searchable;
        if (::memmem(text.data(), text.size(), folded.data(), folded.size()) != nullptr)
            shown.push_back(i);
    }
    return shown;
}

}  // namespace tovi
