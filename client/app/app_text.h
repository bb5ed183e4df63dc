// The client's own texts are written in the sources as UTF-8 and shown, stored and compared as
// cp932, like every text below the windows. appText() converts a literal once and keeps it.
#pragma once

#include <string>

namespace tovi {

// The cp932 form of a UTF-8 literal (kept for the life of the process). Any thread.
const std::string& appText(const char* utf8);
// The cp932 form of any UTF-8 text; characters cp932 cannot hold become '?'. For formatted
// messages built from texts that are already known to convert.
std::string toCp932(const std::string& utf8);

}  // namespace tovi
