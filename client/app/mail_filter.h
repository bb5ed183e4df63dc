// CMailFilter: finding mail in the shown box as the person types. A mail matches when its other
// party (sender or destination, as the list shows it), its title or its body contains the query,
// compared as a person reads text: full-width and half-width forms of letters, digits, signs,
// spaces and katakana alike, and upper and lower case alike. An empty query matches everything.
//
// The searchable text of a mail is read from its file once and kept, keyed by its file name
// (mail files do not change their text), so that a key press only searches memory. prepare()
// reads what is missing, a few files at a time if asked (the window does it in small steps after
// each load, so that the texts are there before the find bar opens), and forgets mail that is
// gone.
//
// Texts are cp932 (the query is UTF-8, as a widget gives it); paths the file system's bytes.
// Plain C++; user-interface thread.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "client/app/mailbox_list.h"

namespace tovi {

class CMailFilter {
  public:
    // The text as compared: UTF-8 in, UTF-8 out, with full-width ASCII (U+FF01..FF5E) and the
    // ideographic space made half-width, half-width katakana made full-width (a following voiced
    // or semi-voiced mark joined to its kana), and Latin, Greek and Cyrillic capitals made small.
    static std::string fold(const std::string& utf8);

    // Reads the searchable text of the rows of fsDir not yet known, at most maxReads files in
    // this call; forgets names not in rows. True when every row is known. A file that cannot be
    // read is searched by its list columns only.
    bool prepare(const std::string& fsDir, const std::vector<MailRow>& rows,
                 size_t maxReads = SIZE_MAX);

    // Indexes into rows of the rows that match query (UTF-8). Rows not prepared are matched by
    // their list columns only.
    std::vector<size_t> match(const std::vector<MailRow>& rows, const std::string& query) const;

    size_t knownCount() const { return m_texts.size(); }

  private:
    // The folded peer, title and body of a row, separated by line feeds.
    static std::string searchableText(const MailRow& row, const std::string* text);

    std::unordered_map<std::string, std::string> m_texts;  // file name -> folded text
};

}  // namespace tovi
