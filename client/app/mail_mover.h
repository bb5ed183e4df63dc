// CMailMover: takes the user's mail files along when the user directory changes. Only files whose
// name starts with "_Tovic" (shorter than 25 bytes) and whose owner is the user are moved; the
// flag files and other users' mail stay. A file is renamed into the new directory, or, where a
// rename cannot cross file systems, copied, flushed to disk and then removed from the old one.
// A file of the same name already in the new directory is never overwritten: the old file stays
// behind and the move reports failure once, after trying the rest. The same directory under
// another spelling moves nothing. The caller stops the receive worker first, so that no mail lands
// in the old directory meanwhile.
//
// Paths are the file system's bytes, directories end with '/'. Plain C++; any thread.
#pragma once

#include <string>

namespace tovi {

class CMailMover {
  public:
    // True when every file of the user was moved (also when there was none).
    static bool moveMailFiles(const std::string& oldFsDir, const std::string& newFsDir,
                              const std::string& userName);

  private:
    static bool moveOne(const std::string& from, const std::string& to);
};

}  // namespace tovi
