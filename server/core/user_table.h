// CUserTable: the server's registered users, a fixed table of 200 positions, and their file.
// A user is known by its name alone (compared byte for byte, case-sensitively); its group is a
// second name used for group sending; it is connected while its entry holds a connection index.
//
// TovisUser.dat, in the server's data directory: one 63-byte record per user in use, in table
// order, no header, no padding:
//
//   offset  size  field
//        0    20  user name, NUL-padded (no NUL when 20 bytes long)
//       20    20  group name, the same
//       40    23  the address the user registered from, dotted text, NUL-padded
//
// The file is rewritten whole through the companion TovisUser.datx (flushed to disk, renamed
// over the old file, directory flushed), so a crash leaves the old file or the new one.
//
// Used by the server's worker thread only.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/packets.h"

namespace tovi {

struct UserEntry {
    char name[NAME_BUFFER_SIZE] = {};
    char address[24] = {};
    char group[NAME_BUFFER_SIZE] = {};
    int32_t connection = -1;
    int16_t inUse = 0;
};

class CUserTable {
  public:
    static constexpr size_t MAX_ENTRIES = MAX_USERS;
    static constexpr size_t FILE_RECORD_SIZE = 63;
    static constexpr size_t ADDRESS_FIELD_SIZE = 23;

    // add() results.
    static constexpr int ADD_DONE = 0;
    static constexpr int ADD_NAME_TAKEN = 1;
    static constexpr int ADD_TABLE_FULL = 2;
    static constexpr int ADD_NOT_SAVED = 3;

    // bindLogin() results.
    static constexpr int BIND_DONE = 0;
    static constexpr int BIND_ALREADY_CONNECTED = 1;
    static constexpr int BIND_UNKNOWN = 2;

    // next() when no further user matches.
    static constexpr int NEXT_NONE = -2;

    // path: the user file (TovisUser.dat in the data directory).
    explicit CUserTable(std::string path);

    // Registers a user at the lowest free position, bound to connection (-1 for none). With
    // save, the file is rewritten; ADD_NOT_SAVED: it could not be, and the user is not added.
    int add(const char* name, const char* address, const char* group, int connection, bool save);
    // Removes the user and rewrites the file; false when there is no such user or the file could
    // not be written (the user is gone from memory either way).
    bool remove(const char* name);
    int bindLogin(int connection, const char* name);
    // The user bound to connection, if any, becomes not connected.
    void unbindConnection(int connection);
    // Gives the user of connection a new name and group. False when the new name belongs to a
    // user bound elsewhere (or to nobody's connection), when no user has this connection, or
    // when the file could not be written (the change is then undone).
    bool rename(int connection, const char* newName, const char* newGroup, char* oldName,
                char* oldGroup);
    // The connection of the user, -1 when not connected or not registered.
    int findConnection(const char* name) const;
    bool isKnownName(const char* name) const;
    // The name of the user bound to connection, null when none.
    const char* userOf(int connection) const;

    // Find-first / find-next walk with one cursor: with nameFilter (non-null) the user of that
    // name, else with groupFilter the members of that group, else everybody; connectedOnly skips
    // users without a connection. Returns the selected user's connection (-1 when not
    // connected) and copies out its name and group (21 bytes each), or NEXT_NONE.
    int next(char* name, char* group, const char* groupFilter, const char* nameFilter,
             bool connectedOnly, bool restart);

    // Reads the file into an empty table; false when it cannot be opened, or when a record
    // repeats a name or exceeds the table (the users read before it stay). A torn last record is
    // not read.
    bool load();
    // Rewrites the file; false (old file untouched) when any part of it could not be written.
    // A file that stopped loading early is first copied whole to TovisUser.dat.damaged (added
    // to what is there, never over it); one that could not be read at all is read again first
    // (its users come first, those registered meanwhile after them), and while it still cannot
    // be read nothing is written.
    bool save();
    std::string damagedPath() const { return m_path + ".damaged"; }

    const UserEntry& entry(size_t position) const { return m_entries[position]; }
    size_t userCount() const;
    const std::string& path() const { return m_path; }

  private:
    enum FileState { FILE_WHOLE, FILE_PARTIAL, FILE_UNREADABLE };

    int positionOf(const char* name) const;
    // Adds the file's records; false when one was refused (a repeated name, a full table).
    bool addRecords(const std::string& data);
    bool keepDamagedFile();

    FileState m_fileState = FILE_WHOLE;
    std::string m_loadedBytes;  // a file that stopped loading early, until it is kept aside

    std::string m_path;
    UserEntry m_entries[MAX_ENTRIES];
    int m_cursor = 0;
};

}  // namespace tovi
