#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

namespace tovi {

namespace {

thread_local std::string t_lastError;

// Records why an OS call failed; errno goes no further than this.
void noteError(const char* what, const std::string& path, int err) {
    t_lastError = std::string(what) + " " + path + ": " + std::strerror(err);
}

// The fault switches. The write budget is an atomic so that the common case (no faults) costs
// one load per write; the path texts are guarded by a mutex.
std::atomic<long long> g_writeBudget{-1};
std::mutex g_faultMutex;
std::string g_failOpens;
std::string g_failRenames;
std::atomic<bool> g_pathFaults{false};
std::atomic<int> g_syncDelayMs{0};
std::atomic<bool> g_syncFails{false};

int openFlags(CFile::Mode mode) {
    switch (mode) {
        case CFile::READ:
            return O_RDONLY;
        case CFile::READ_WRITE:
            return O_RDWR;
        case CFile::CREATE_TRUNCATE:
            return O_WRONLY | O_CREAT | O_TRUNC;
        case CFile::CREATE_KEEP:
            return O_RDWR | O_CREAT;
    }
    return O_RDONLY;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CFileFaults

void CFileFaults::failWritesAfter(long long bytes) { g_writeBudget.store(bytes < 0 ? -1 : bytes); }

void CFileFaults::failOpensOf(const std::string& pathPart) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_failOpens = pathPart;
    g_pathFaults.store(!g_failOpens.empty() || !g_failRenames.empty());
}

void CFileFaults::failRenamesTo(const std::string& pathPart) {
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_failRenames = pathPart;
    g_pathFaults.store(!g_failOpens.empty() || !g_failRenames.empty());
}

void CFileFaults::slowSyncs(int delayMs, bool failing) {
    g_syncDelayMs.store(delayMs);
    g_syncFails.store(failing);
}

bool CFileFaults::syncAllowed() {
    if (const int ms = g_syncDelayMs.load(); ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return !g_syncFails.load();
}

void CFileFaults::reset() {
    g_writeBudget.store(-1);
    g_syncDelayMs.store(0);
    g_syncFails.store(false);
    std::lock_guard<std::mutex> lock(g_faultMutex);
    g_failOpens.clear();
    g_failRenames.clear();
    g_pathFaults.store(false);
}

bool CFileFaults::writeAllowed(size_t n, size_t& allowed) {
    long long budget = g_writeBudget.load();
    for (;;) {
        if (budget < 0) {
            allowed = n;
            return true;
        }
        if (static_cast<unsigned long long>(budget) >= n) {
            if (g_writeBudget.compare_exchange_weak(budget, budget - static_cast<long long>(n))) {
                allowed = n;
                return true;
            }
        } else if (g_writeBudget.compare_exchange_weak(budget, 0)) {
            // Like a disk that fills up part way: what still fits goes out, then the write fails.
            allowed = static_cast<size_t>(budget);
            return false;
        }
        // Another thread changed the budget; budget holds the new value, try again.
    }
}

bool CFileFaults::openAllowed(const std::string& path) {
    if (!g_pathFaults.load()) return true;
    std::lock_guard<std::mutex> lock(g_faultMutex);
    return g_failOpens.empty() || path.find(g_failOpens) == std::string::npos;
}

bool CFileFaults::renameAllowed(const std::string& target) {
    if (!g_pathFaults.load()) return true;
    std::lock_guard<std::mutex> lock(g_faultMutex);
    return g_failRenames.empty() || target.find(g_failRenames) == std::string::npos;
}

// ---------------------------------------------------------------------------------------------
// CFile

CFile::~CFile() { close(); }

bool CFile::open(const std::string& path, Mode mode) {
    close();
    if (!CFileFaults::openAllowed(path)) {
        noteError("open", path, EIO);
        return false;
    }
    // The Windows build opened files denying write sharing to other processes. Linux has no such
    // mandatory share mode (advisory locks bind only programs that ask), so nothing is done here;
    // the programs keep to one writer per file by their own design.
    int fd;
    do {
        fd = ::open(path.c_str(), openFlags(mode) | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        noteError("open", path, errno);
        return false;
    }
    m_fd = fd;
    return true;
}

bool CFile::createUnique(const std::string& pathPrefix, std::string& path) {
    close();
    // Seeded once per thread from the system's entropy; the process id and a counter keep names
    // apart should two generators ever agree.
    thread_local std::mt19937_64 random{std::random_device{}() ^
                                        (static_cast<uint64_t>(::getpid()) << 32)};
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char part[48];
        std::snprintf(part, sizeof part, "%016llx%lx%x", static_cast<unsigned long long>(random()),
                      static_cast<long>(::getpid()), counter.fetch_add(1));
        const std::string candidate = pathPrefix + part;
        if (!CFileFaults::openAllowed(candidate)) {
            noteError("open", candidate, EIO);
            return false;
        }
        int fd;
        do {
            fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            m_fd = fd;
            path = candidate;
            return true;
        }
        if (errno != EEXIST) {
            noteError("open", candidate, errno);
            return false;
        }
    }
    noteError("open", pathPrefix + "*", EEXIST);
    return false;
}

long CFile::read(void* buf, size_t n) {
    if (m_fd < 0) {
        noteError("read", "(closed file)", EBADF);
        return -1;
    }
    // Goes on until n bytes or the end of the file, so a short count always means the end.
    size_t done = 0;
    char* p = static_cast<char*>(buf);
    while (done < n) {
        ssize_t got = ::read(m_fd, p + done, n - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            noteError("read", "fd " + std::to_string(m_fd), errno);
            return -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<long>(done);
}

bool CFile::readExact(void* buf, size_t n) {
    long got = read(buf, n);
    if (got < 0) return false;
    if (static_cast<size_t>(got) != n) {
        t_lastError =
            "read: the file ends " + std::to_string(n - static_cast<size_t>(got)) + " bytes early";
        return false;
    }
    return true;
}

bool CFile::write(const void* buf, size_t n) {
    if (m_fd < 0) {
        noteError("write", "(closed file)", EBADF);
        return false;
    }
    size_t allowed = n;
    bool whole = CFileFaults::writeAllowed(n, allowed);
    const char* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < allowed) {
        ssize_t put = ::write(m_fd, p + done, allowed - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            noteError("write", "fd " + std::to_string(m_fd), errno);
            return false;
        }
        done += static_cast<size_t>(put);
    }
    if (!whole) {
        noteError("write", "fd " + std::to_string(m_fd), ENOSPC);
        return false;
    }
    return true;
}

bool CFile::seek(int64_t offset) {
    if (m_fd < 0 || offset < 0) {
        noteError("seek", "fd " + std::to_string(m_fd), m_fd < 0 ? EBADF : EINVAL);
        return false;
    }
    if (::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        noteError("seek", "fd " + std::to_string(m_fd), errno);
        return false;
    }
    return true;
}

bool CFile::seekToEnd() {
    if (m_fd < 0 || ::lseek(m_fd, 0, SEEK_END) < 0) {
        noteError("seek", "fd " + std::to_string(m_fd), m_fd < 0 ? EBADF : errno);
        return false;
    }
    return true;
}

int64_t CFile::size() const {
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
        noteError("stat", "fd " + std::to_string(m_fd), m_fd < 0 ? EBADF : errno);
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool CFile::truncate(int64_t size) {
    if (m_fd < 0 || size < 0) {
        noteError("truncate", "fd " + std::to_string(m_fd), m_fd < 0 ? EBADF : EINVAL);
        return false;
    }
    int rc;
    do {
        rc = ::ftruncate(m_fd, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        noteError("truncate", "fd " + std::to_string(m_fd), errno);
        return false;
    }
    return true;
}

bool CFile::reserve(int64_t from, int64_t length) {
    if (m_fd < 0 || from < 0 || length <= 0) {
        noteError("fallocate", "fd " + std::to_string(m_fd), m_fd < 0 ? EBADF : EINVAL);
        return false;
    }
    int rc;
    do {
        rc = ::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                         static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        noteError("fallocate", "fd " + std::to_string(m_fd), errno);
        return false;
    }
    return true;
}

bool CFile::sync() {
    if (m_fd < 0) {
        noteError("fsync", "(closed file)", EBADF);
        return false;
    }
    if (!CFileFaults::syncAllowed()) {
        noteError("fsync", "fd " + std::to_string(m_fd), EIO);
        return false;
    }
    int rc;
    do {
        rc = ::fsync(m_fd);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        noteError("fsync", "fd " + std::to_string(m_fd), errno);
        return false;
    }
    return true;
}

bool CFile::close() {
    if (m_fd < 0) return true;
    int fd = m_fd;
    m_fd = -1;
    // Not retried on EINTR: Linux has released the descriptor already, and a second close could
    // hit one that another thread has just been given.
    if (::close(fd) != 0 && errno != EINTR) {
        noteError("close", "fd " + std::to_string(fd), errno);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Helpers

std::string lastFileError() { return t_lastError; }

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool removeFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        noteError("unlink", path, errno);
        return false;
    }
    return true;
}

bool renameFile(const std::string& from, const std::string& to) {
    if (!CFileFaults::renameAllowed(to)) {
        noteError("rename", from + " -> " + to, EIO);
        return false;
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        noteError("rename", from + " -> " + to, errno);
        return false;
    }
    return true;
}

MoveResult moveNoReplace(const std::string& from, const std::string& to) {
    if (!CFileFaults::renameAllowed(to)) {
        noteError("link", from + " -> " + to, EIO);
        return MOVE_FAILED;
    }
    // A hard link is made only when the name is free, atomically; the old name then goes.
    if (::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) != 0) {
            noteError("unlink", from, errno);
            return MOVE_FAILED;
        }
        return MOVE_DONE;
    }
    int err = errno;
    if (err == EEXIST) return MOVE_TARGET_EXISTS;
    // File systems without hard links: a rename that refuses to replace.
    if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK) {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
            return MOVE_DONE;
        err = errno;
        if (err == EEXIST) return MOVE_TARGET_EXISTS;
    }
    noteError("link", from + " -> " + to, err);
    return MOVE_FAILED;
}

bool syncDirectory(const std::string& dir) {
    int fd;
    do {
        fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        noteError("open", dir, errno);
        return false;
    }
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    int err = errno;
    ::close(fd);
    // Some file systems cannot flush a directory and say EINVAL; their entries are as safe as
    // they will get.
    if (rc != 0 && err != EINVAL) {
        noteError("fsync", dir, err);
        return false;
    }
    return true;
}

bool makeDirectories(const std::string& dir) {
    if (dir.empty()) {
        noteError("mkdir", "\"\"", ENOENT);
        return false;
    }
    // Each prefix ending before a '/', then the whole path.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        if (dir[pos - 1] == '/') continue;  // "a//b" or a trailing '/'
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) == 0) continue;
        int err = errno;
        if (err == EEXIST && isDirectory(part)) continue;
        noteError("mkdir", part, err == EEXIST ? ENOTDIR : err);
        return false;
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    while (slash > 0 && path[slash - 1] == '/') --slash;
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool readWholeFile(const std::string& path, std::string& out) {
    CFile file;
    if (!file.open(path, CFile::READ)) return false;
    std::string data;
    char buf[65536];
    for (;;) {
        long got = file.read(buf, sizeof buf);
        if (got < 0) return false;
        data.append(buf, static_cast<size_t>(got));
        if (static_cast<size_t>(got) < sizeof buf) break;
    }
    out = std::move(data);
    return true;
}

bool replaceFileAtomically(const std::string& path, const std::string& data,
                           const std::string& companionSuffix) {
    const std::string companion = path + companionSuffix;
    bool ok;
    {
        CFile file;
        ok = file.open(companion, CFile::CREATE_TRUNCATE) && file.write(data.data(), data.size()) &&
             file.sync();
        ok = file.close() && ok;
    }
    if (ok) ok = renameFile(companion, path);
    if (!ok) {
        std::string reason = t_lastError;
        ::unlink(companion.c_str());
        t_lastError = reason;
        return false;
    }
    // The new file is in place; this makes the rename itself survive a power cut. Should it fail
    // the caller hears so, though the new contents are what readers already see.
    return syncDirectory(directoryOf(path));
}

std::vector<std::string> findFiles(const std::string& dir, const std::string& pattern) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        noteError("opendir", dir, errno);
        return names;
    }
    const int dfd = ::dirfd(d);
    while (struct dirent* entry = ::readdir(d)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (!matchesPattern(name, pattern)) continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            // Ask the file system; a link counts by what it points to.
            struct stat st;
            regular = ::fstatat(dfd, name, &st, 0) == 0 && S_ISREG(st.st_mode);
        }
        if (regular) names.emplace_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool matchesPattern(const std::string& name, const std::string& pattern) {
    // Greedy match with one back-tracking point: the last '*' seen and where in name it began.
    size_t n = 0, p = 0;
    size_t starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++n;
            ++p;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace tovi
