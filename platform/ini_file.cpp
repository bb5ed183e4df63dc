#include "platform/ini_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string_view>
#include <vector>

#include "platform/cp932.h"
#include "platform/file.h"

namespace tovi {

namespace {

// One line of the file as offsets into its text: [begin, end) is the content, [end, next) the
// line end ("\n", "\r\n", or nothing on a last line without one).
struct Line {
    size_t begin;
    size_t end;
    size_t next;
};

std::vector<Line> splitLines(const std::string& text) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back({pos, text.size(), text.size()});
            break;
        }
        size_t end = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
        lines.push_back({pos, end, nl + 1});
        pos = nl + 1;
    }
    return lines;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// None of the blanks can be the second byte of a double-byte character, so trimming bytes is safe.
std::string_view trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Names compare without regard to ASCII letter case. The second byte of a double-byte cp932
// character may fall in the ASCII letter range and is compared exactly: two different kanji must
// not compare equal.
bool sameKeyName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (isCp932LeadByte(static_cast<unsigned char>(a[i])) && i + 1 < a.size()) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
            ++i;
        } else if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

// Where the first single-byte ']' of s is, skipping second bytes of double-byte characters (a
// ']' byte can be one); npos when there is none.
size_t findCloseBracket(std::string_view s, size_t from) {
    for (size_t i = from; i < s.size(); ++i) {
        if (isCp932LeadByte(static_cast<unsigned char>(s[i])))
            ++i;
        else if (s[i] == ']')
            return i;
    }
    return std::string_view::npos;
}

enum class Kind { OTHER, SECTION, KEY };

// What one line is. For a key line, eq is the offset of its '=' in the line content.
struct Parsed {
    Kind kind = Kind::OTHER;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key lines: the value, trimmed and unquoted
    size_t eq = 0;
};

Parsed parseLine(std::string_view content) {
    Parsed p;
    std::string_view t = trim(content);
    if (t.empty() || t[0] == ';') return p;
    if (t[0] == '[') {
        // A '[' without a closing bracket is no section; the line is kept and otherwise ignored.
        size_t close = findCloseBracket(t, 1);
        if (close != std::string_view::npos) {
            p.kind = Kind::SECTION;
            p.name = trim(t.substr(1, close - 1));
        }
        return p;
    }
    // '=' (0x3D) is never the second byte of a double-byte character.
    size_t eq = content.find('=');
    if (eq == std::string_view::npos) return p;
    std::string_view key = trim(content.substr(0, eq));
    if (key.empty()) return p;
    std::string_view value = trim(content.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    p.kind = Kind::KEY;
    p.name = key;
    p.value = value;
    p.eq = eq;
    return p;
}

bool hasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// The value as its line holds it: one that begins or ends with a blank or a quote is quoted, so
// that the reader, which trims blanks and takes off one pair of quotes, gives it back unchanged.
// None of these bytes can be the second byte of a double-byte character.
std::string storedForm(const std::string& value) {
    if (value.empty()) return value;
    auto special = [](char c) { return c == ' ' || c == '\t' || c == '"'; };
    if (!special(value.front()) && !special(value.back())) return value;
    return '"' + value + '"';
}

// Where section/key are in the file: the line holding the key, else the first section of that
// name and the last non-blank line in it (npos for what is not there).
struct Location {
    size_t keyLine = std::string::npos;
    size_t keyEq = 0;
    size_t sectionLine = std::string::npos;
    size_t lastLineOfSection = std::string::npos;
};

Location locate(const std::string& text, const std::vector<Line>& lines, std::string_view section,
                std::string_view key, std::string* value) {
    Location loc;
    bool inSection = false;
    bool inFirstSection = false;  // the first section of this name, where a new key goes
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view content(text.data() + lines[i].begin, lines[i].end - lines[i].begin);
        Parsed p = parseLine(content);
        if (p.kind == Kind::SECTION) {
            inSection = sameKeyName(p.name, section);
            inFirstSection = inSection && loc.sectionLine == std::string::npos;
            if (inFirstSection) {
                loc.sectionLine = i;
                loc.lastLineOfSection = i;
            }
            continue;
        }
        if (inFirstSection && !trim(content).empty()) loc.lastLineOfSection = i;
        if (inSection && p.kind == Kind::KEY && sameKeyName(p.name, key)) {
            loc.keyLine = i;
            loc.keyEq = p.eq;
            if (value != nullptr) value->assign(p.value);
            return loc;
        }
    }
    return loc;
}

// The file that path names, following symbolic links (a relative link from its own directory).
std::string resolveLinks(const std::string& path) {
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        char target[PATH_MAX];
        const ssize_t n = ::readlink(p.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        std::string next(target, static_cast<size_t>(n));
        if (next[0] != '/') next = directoryOf(p) + "/" + next;
        p = next;
    }
    return p;
}

// Replaces the file path names with text atomically. A symbolic link stays a link (the file it
// names is replaced) and the file keeps its permission bits.
bool replaceKeepingLinkAndMode(const std::string& path, const std::string& text) {
    const std::string target = resolveLinks(path);
    struct stat st;
    if (::stat(target.c_str(), &st) != 0) return replaceFileAtomically(target, text, ".tmp");
    const std::string companion = target + ".tmp";
    bool ok;
    {
        CFile file;
        ok = file.open(companion, CFile::CREATE_TRUNCATE) && file.write(text.data(), text.size()) &&
             file.sync();
        ok = file.close() && ok;
    }
    ok = ok && ::chmod(companion.c_str(), st.st_mode & 07777) == 0;
    ok = ok && renameFile(companion, target);
    if (!ok) {
        removeFile(companion);
        return false;
    }
    return syncDirectory(directoryOf(target));
}

}  // namespace

bool CIniFile::exists() const { return fileExists(m_path); }

bool CIniFile::findValue(const std::string& section, const std::string& key,
                         std::string& value) const {
    std::string text;
    if (!readWholeFile(m_path, text)) return false;
    std::vector<Line> lines = splitLines(text);
    Location loc = locate(text, lines, trim(section), trim(key), &value);
    return loc.keyLine != std::string::npos;
}

std::string CIniFile::getString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const {
    std::string value;
    if (!findValue(section, key, value)) return defaultValue;
    return value;
}

int CIniFile::getInt(const std::string& section, const std::string& key, int defaultValue) const {
    std::string value;
    if (!findValue(section, key, value)) return defaultValue;
    // Sign and leading digits, like atoi; the rest of the text is ignored. Out of range values
    // stop at the int limits.
    size_t i = 0;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
    long long n = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
        n = n * 10 + (value[i] - '0');
        if (n > static_cast<long long>(INT_MAX) + 1) n = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) n = -n;
    if (n > INT_MAX) n = INT_MAX;
    return static_cast<int>(n);
}

bool CIniFile::writeString(const std::string& section, const std::string& key,
                           const std::string& plainValue) {
    // Refuse what could not be read back as written: a line break would split the line, a ']' in
    // a section name or a '=' in a key would end the name early.
    std::string_view sec = trim(section);
    std::string_view k = trim(key);
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(plainValue)) return false;
    const std::string value = storedForm(plainValue);
    if (k.empty() || k.find('=') != std::string_view::npos || k[0] == ';' || k[0] == '[')
        return false;
    if (findCloseBracket(sec, 0) != std::string_view::npos) return false;

    std::string text;
    if (!readWholeFile(m_path, text)) {
        // Only a missing file starts empty; one that is there but cannot be read is left alone.
        if (fileExists(m_path) || isDirectory(m_path)) return false;
        text.clear();
    }
    std::vector<Line> lines = splitLines(text);
    Location loc = locate(text, lines, sec, k, nullptr);

    std::string out;
    out.reserve(text.size() + k.size() + value.size() + sec.size() + 8);
    if (loc.keyLine != std::string::npos) {
        // The line keeps its own spelling of the key and everything before the '='.
        const Line& line = lines[loc.keyLine];
        out.append(text, 0, line.begin + loc.keyEq + 1);
        out += value;
        out += '\n';
        out.append(text, line.next, std::string::npos);
    } else if (loc.sectionLine != std::string::npos) {
        const Line& line = lines[loc.lastLineOfSection];
        out.append(text, 0, line.next);
        if (line.next == line.end) out += '\n';  // the last line of the file had no line end
        out.append(k);
        out += '=';
        out += value;
        out += '\n';
        out.append(text, line.next, std::string::npos);
    } else {
        out = text;
        if (!out.empty() && out.back() != '\n') out += '\n';
        out += '[';
        out.append(sec);
        out += "]\n";
        out.append(k);
        out += '=';
        out += value;
        out += '\n';
    }
    return replaceKeepingLinkAndMode(m_path, out);
}

bool CIniFile::writeInt(const std::string& section, const std::string& key, int value) {
    return writeString(section, key, std::to_string(value));
}

}  // namespace tovi
