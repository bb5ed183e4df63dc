// CFile and the file-system helpers: open, read, write, seek, flush to disk, rename over, delete,
// directory creation and search. errno stops here: every call answers with a plain result.
//
// Tests can make the layer fail on demand (see CFileFaults): a write that fails after N more
// bytes (a full disk), or opens that fail for paths containing a given text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovi {

class CFile {
  public:
    enum Mode {
        READ,             // existing file, reading
        READ_WRITE,       // existing file, reading and writing
        CREATE_TRUNCATE,  // create or truncate, writing
        CREATE_KEEP,      // create when missing, keep the contents, reading and writing
    };

    CFile() = default;
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    bool open(const std::string& path, Mode mode);
    // Creates a new file named pathPrefix followed by a random part, for writing, never opening
    // one that exists (another process or thread may use the same prefix at the same moment);
    // path receives the name it got. False when no such file could be created.
    bool createUnique(const std::string& pathPrefix, std::string& path);
    bool isOpen() const { return m_fd >= 0; }
    // Reads up to n bytes; returns the count (short at the end of the file), -1 on failure.
    long read(void* buf, size_t n);
    // Reads exactly n bytes; false when fewer are there or on failure.
    bool readExact(void* buf, size_t n);
    // Writes all n bytes; false on failure (some may have been written).
    bool write(const void* buf, size_t n);
    bool seek(int64_t offset);
    bool seekToEnd();
    int64_t size() const;
    // Cuts the file to size bytes (a torn tail goes; shrinking needs no room on the disk).
    bool truncate(int64_t size);
    // Sets aside room on the disk for the file to grow to from + length bytes without changing
    // its size, so that writes up to there cannot find the disk full. False where the file system
    // cannot do that, or has no room now.
    bool reserve(int64_t from, int64_t length);
    // Flushes the file's data to the disk.
    bool sync();
    bool close();

  private:
    int m_fd = -1;
};

// Fault injection for tests; process-wide, off by default.
class CFileFaults {
  public:
    // Every CFile::write fails once this many more bytes have been written (-1: never).
    static void failWritesAfter(long long bytes);
    // Opens of paths containing this text fail (empty: none).
    static void failOpensOf(const std::string& pathPart);
    // Renames whose target contains this text fail (empty: none).
    static void failRenamesTo(const std::string& pathPart);
    // Every CFile::sync first waits delayMs (a slow disk), then fails when failing is true.
    static void slowSyncs(int delayMs, bool failing);
    static void reset();
    // Used by the file layer.
    static bool writeAllowed(size_t n, size_t& allowed);
    static bool openAllowed(const std::string& path);
    static bool renameAllowed(const std::string& target);
    static bool syncAllowed();
};

// Why the last failed call of this layer on this thread failed ("open /x: No such file or
// directory"), for messages to people; empty before any failure.
std::string lastFileError();

bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);
bool removeFile(const std::string& path);
// Renames from over to (replacing it atomically).
bool renameFile(const std::string& from, const std::string& to);
// Moves from to a name that must not exist yet: never replaces a file, even when another process
// creates one of that name at the same moment. MOVE_DONE: from is now to; MOVE_TARGET_EXISTS:
// nothing changed; MOVE_FAILED: nothing changed, or from could not be removed after to was made
// (to then holds the file). Same directory or file system only.
enum MoveResult { MOVE_DONE = 1, MOVE_TARGET_EXISTS = 0, MOVE_FAILED = -1 };
MoveResult moveNoReplace(const std::string& from, const std::string& to);
// Flushes the directory entry changes of dir to the disk.
bool syncDirectory(const std::string& dir);
// Creates the directory and its missing parents.
bool makeDirectories(const std::string& dir);
// The directory part of a path ("." when there is none).
std::string directoryOf(const std::string& path);
// Reads a whole file; false when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& out);
// Replaces path with data atomically: writes path + companionSuffix, flushes it, renames it over
// path and flushes the directory. On failure the companion is removed and path is untouched.
bool replaceFileAtomically(const std::string& path, const std::string& data,
                           const std::string& companionSuffix = ".new");

// The names (not paths) of the regular files in dir whose names match the pattern, in byte order
// of their names. The pattern knows '*' (any run of bytes) and '?' (one byte).
std::vector<std::string> findFiles(const std::string& dir, const std::string& pattern);
bool matchesPattern(const std::string& name, const std::string& pattern);

}  // namespace tovi
