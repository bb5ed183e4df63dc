// CMailMover: takes the user's mail files along when the user directory changes. Only files whose
// name starts with "_Tovic" (shorter than 25 bytes) and whose owner is the user are moved; the
// flag files and other users' mail stay. A file is linked into the new directory and removed from
// the old one, or, where a link cannot cross file systems, copied, flushed to disk and then
// removed. A file of the same name already in the new directory is never overwritten: the old file
// stays behind and counts as left. The same directory under another spelling moves nothing. The
// caller stops the receive worker first, so that no mail lands in the old directory meanwhile.
//
// run() does the work and may run on a thread of its own (a move across file systems takes
// seconds for thousands of files); total(), done() and left() may be read from any thread
// meanwhile, and requestStop() ends it after the file in hand.
//
// Paths are the file system's bytes, directories end with '/'. Plain C++.
#pragma once

#include <atomic>
#include <string>

namespace tovi {

class CMailMover {
  public:
    CMailMover(std::string oldFsDir, std::string newFsDir, std::string userName);

    void run();
    void requestStop() { m_stop.store(true); }

    // The user's files found (known once listing is over), those handled so far, and those that
    // stayed in the old directory.
    int total() const { return m_total.load(); }
    int done() const { return m_done.load(); }
    int left() const { return m_left.load(); }
    bool finished() const { return m_finished.load(); }

    // The whole move on the calling thread; true when every file of the user was moved (also
    // when there was none).
    static bool moveMailFiles(const std::string& oldFsDir, const std::string& newFsDir,
                              const std::string& userName);

  private:
    static bool moveOne(const std::string& from, const std::string& to);

    const std::string m_old, m_new, m_user;
    std::atomic<int> m_total{0}, m_done{0}, m_left{0};
    std::atomic<bool> m_finished{false}, m_stop{false};
};

}  // namespace tovi
