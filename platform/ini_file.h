// CIniFile: initialisation files with the private-profile semantics the system expects.
//
//   [SECTION]        a section starts at a line holding its name in brackets
//   KEY=value        a value; blanks around key and value are not part of them
//   KEY="value"      a quoted value: the text between the quotes, blanks and quotes included
//
// Section and key names compare without regard to ASCII letter case. A missing file, section or
// key gives the caller's default; integers are read as decimal text (optional sign, leading
// digits; no digits gives 0) and written as decimal text. Writing a key changes only its own line
// (or adds the line at the end of its section, or the section at the end of the file) and keeps
// every other line byte for byte; the file is replaced atomically (companion file, flushed,
// renamed over the old one), so a crash leaves the old file or the new one. Lines end in "\n"
// when written; "\r\n" is read as well. A value that begins or ends with a blank or a quote is
// written quoted, so that every value reads back exactly as it was written. Text is bytes (cp932);
// nothing is converted.
#pragma once

#include <string>

namespace tovi {

class CIniFile {
  public:
    explicit CIniFile(std::string path) : m_path(std::move(path)) {}

    const std::string& path() const { return m_path; }
    bool exists() const;

    std::string getString(const std::string& section, const std::string& key,
                          const std::string& defaultValue = "") const;
    int getInt(const std::string& section, const std::string& key, int defaultValue = 0) const;

    // True when the new file is on disk.
    bool writeString(const std::string& section, const std::string& key, const std::string& value);
    bool writeInt(const std::string& section, const std::string& key, int value);

  private:
    bool findValue(const std::string& section, const std::string& key, std::string& value) const;
    std::string m_path;
};

}  // namespace tovi
