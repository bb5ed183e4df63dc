#include "server/core/user_table.h"

#include <algorithm>
#include <cstring>

#include "platform/file.h"

namespace tovi {

namespace {

void copyName(char* dst, const char* src) {
    std::strncpy(dst, src, NAME_FIELD_SIZE);
    dst[NAME_FIELD_SIZE] = '\0';
}

}  // namespace

CUserTable::CUserTable(std::string path) : m_path(std::move(path)) {}

int CUserTable::positionOf(const char* name) const {
    for (size_t i = 0; i < MAX_ENTRIES; ++i) {
        if (m_entries[i].inUse && sameName(m_entries[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

int CUserTable::add(const char* name, const char* address, const char* group, int connection,
                    bool save) {
    if (positionOf(name) >= 0) return ADD_NAME_TAKEN;
    for (size_t i = 0; i < MAX_ENTRIES; ++i) {
        UserEntry& e = m_entries[i];
        if (e.inUse) continue;
        copyName(e.name, name);
        copyName(e.group, group);
        std::strncpy(e.address, address, sizeof e.address - 1);
        e.address[sizeof e.address - 1] = '\0';
        e.connection = connection < 0 ? -1 : connection;
        e.inUse = 1;
        if (save && !this->save()) {
            // Refused on the wire, so it leaves no trace: mail to a user that the file does not
            // know would be accepted now and dropped as orphaned after a restart. (The save may
            // have moved the entries: the file's users were read late.)
            const int pos = positionOf(name);
            if (pos >= 0) m_entries[pos] = UserEntry{};
            return ADD_NOT_SAVED;
        }
        return ADD_DONE;
    }
    return ADD_TABLE_FULL;
}

bool CUserTable::remove(const char* name) {
    int pos = positionOf(name);
    if (pos < 0) return false;
    m_entries[pos] = UserEntry{};
    return save();
}

int CUserTable::bindLogin(int connection, const char* name) {
    int pos = positionOf(name);
    if (pos < 0) return BIND_UNKNOWN;
    if (m_entries[pos].connection != -1) return BIND_ALREADY_CONNECTED;
    m_entries[pos].connection = connection;
    return BIND_DONE;
}

void CUserTable::unbindConnection(int connection) {
    if (connection < 0) return;
    for (UserEntry& e : m_entries) {
        if (e.inUse && e.connection == connection) {
            e.connection = -1;
            return;
        }
    }
}

bool CUserTable::rename(int connection, const char* newName, const char* newGroup, char* oldName,
                        char* oldGroup) {
    int holder = positionOf(newName);
    if (holder >= 0 && (m_entries[holder].connection != connection || connection < 0)) return false;
    for (UserEntry& e : m_entries) {
        if (!e.inUse || e.connection != connection || connection < 0) continue;
        copyName(oldName, e.name);
        copyName(oldGroup, e.group);
        copyName(e.name, newName);
        copyName(e.group, newGroup);
        if (save()) return true;
        // Refused on the wire, so undone here: mail to the old name must still reach the user.
        copyName(e.name, oldName);
        copyName(e.group, oldGroup);
        return false;
    }
    return false;
}

int CUserTable::findConnection(const char* name) const {
    int pos = positionOf(name);
    return pos < 0 ? -1 : m_entries[pos].connection;
}

bool CUserTable::isKnownName(const char* name) const { return positionOf(name) >= 0; }

const char* CUserTable::userOf(int connection) const {
    if (connection < 0) return nullptr;
    for (const UserEntry& e : m_entries) {
        if (e.inUse && e.connection == connection) return e.name;
    }
    return nullptr;
}

int CUserTable::next(char* name, char* group, const char* groupFilter, const char* nameFilter,
                     bool connectedOnly, bool restart) {
    int start = restart ? 0 : m_cursor + 1;
    m_cursor = start;
    for (int i = start; i < static_cast<int>(MAX_ENTRIES); ++i) {
        const UserEntry& e = m_entries[i];
        if (!e.inUse) continue;
        if (nameFilter != nullptr) {
            if (!sameName(e.name, nameFilter)) continue;
        } else if (groupFilter != nullptr && !sameName(e.group, groupFilter)) {
            continue;
        }
        if (connectedOnly && e.connection == -1) continue;
        m_cursor = i;
        copyName(name, e.name);
        copyName(group, e.group);
        return e.connection;
    }
    return NEXT_NONE;
}

size_t CUserTable::userCount() const {
    size_t n = 0;
    for (const UserEntry& e : m_entries) n += e.inUse ? 1 : 0;
    return n;
}

bool CUserTable::load() {
    std::string data;
    if (!readWholeFile(m_path, data)) {
        // A missing file is an empty table; one that is there but unreadable is never written
        // over until it can be read.
        m_fileState = fileExists(m_path) || isDirectory(m_path) ? FILE_UNREADABLE : FILE_WHOLE;
        return false;
    }
    m_fileState = FILE_WHOLE;
    if (!addRecords(data)) {
        m_fileState = FILE_PARTIAL;
        m_loadedBytes = std::move(data);
        return false;
    }
    return true;
}

bool CUserTable::addRecords(const std::string& data) {
    char name[NAME_BUFFER_SIZE];
    char group[NAME_BUFFER_SIZE];
    char address[ADDRESS_FIELD_SIZE + 1];
    for (size_t off = 0; off + FILE_RECORD_SIZE <= data.size(); off += FILE_RECORD_SIZE) {
        const char* r = data.data() + off;
        getName(r, name);
        getName(r + 20, group);
        getName(r + 40, address, ADDRESS_FIELD_SIZE);
        if (add(name, address, group, -1, false) != ADD_DONE) return false;
    }
    return true;
}

bool CUserTable::keepDamagedFile() {
    if (m_fileState == FILE_UNREADABLE) {
        // Read late: the users of the file come first, those registered meanwhile after them.
        std::string data;
        if (!readWholeFile(m_path, data)) return false;
        UserEntry registered[MAX_ENTRIES];
        std::copy(std::begin(m_entries), std::end(m_entries), registered);
        std::fill(std::begin(m_entries), std::end(m_entries), UserEntry{});
        m_fileState = addRecords(data) ? FILE_WHOLE : FILE_PARTIAL;
        if (m_fileState == FILE_PARTIAL) m_loadedBytes = data;
        for (const UserEntry& e : registered) {
            if (!e.inUse) continue;
            int pos = positionOf(e.name);
            if (pos >= 0) {
                m_entries[pos].connection = e.connection;
                continue;
            }
            add(e.name, e.address, e.group, e.connection, false);
        }
    }
    if (m_fileState != FILE_PARTIAL) return true;
    // What the table could not take is kept beside it, never over an earlier copy.
    const std::string damaged = damagedPath();
    CFile aside;
    const bool created = !fileExists(damaged);
    bool ok = aside.open(damaged, CFile::CREATE_KEEP) && aside.seekToEnd() &&
              aside.write(m_loadedBytes.data(), m_loadedBytes.size()) && aside.sync();
    ok = aside.close() && ok;
    if (ok && created) ok = syncDirectory(directoryOf(damaged));
    if (!ok) return false;
    m_fileState = FILE_WHOLE;
    m_loadedBytes.clear();
    return true;
}

bool CUserTable::save() {
    if (!keepDamagedFile()) return false;
    // At most 200 x 63 bytes; built whole so that the file is replaced in one step.
    char data[MAX_ENTRIES * FILE_RECORD_SIZE];
    size_t n = 0;
    for (const UserEntry& e : m_entries) {
        if (!e.inUse) continue;
        char* r = data + n;
        putName(r, e.name);
        putName(r + 20, e.group);
        putName(r + 40, e.address, ADDRESS_FIELD_SIZE);
        n += FILE_RECORD_SIZE;
    }
    return replaceFileAtomically(m_path, std::string(data, n), "x");
}

}  // namespace tovi
