#include "server/core/held_mail_store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/file_identity.h"
#include "platform/worker_thread.h"

namespace tovi {

namespace {
constexpr size_t DONE_ENTRY_SIZE = 16;
// Gone records wait this long for more before the background writer rewrites the store.
constexpr int COALESCE_MS = 20;
// A rewrite pauses this long after every piece of this size it copied.
constexpr int64_t PACE_PIECE = 1 << 20;
constexpr int PACE_PAUSE_MS = 2;
// A rewrite that failed (a full disk) is tried again after this long.
constexpr int RETRY_MS = 1000;
// A rewrite put off by a routing that appends is tried this soon.
constexpr int BUSY_RETRY_MS = 20;
// Room kept set aside for .done entries (4096 of them), renewed when half of it is used.
constexpr int64_t NOTES_RESERVE = 65536;

void putInt64(char* p, uint64_t v) {
    putInt32(p, static_cast<int32_t>(v & 0xffffffffu));
    putInt32(p + 4, static_cast<int32_t>(v >> 32));
}
uint64_t getInt64(const char* p) {
    return static_cast<uint32_t>(getInt32(p)) |
           (static_cast<uint64_t>(static_cast<uint32_t>(getInt32(p + 4))) << 32);
}
}  // namespace

CHeldMailStore::CHeldMailStore(std::string storePath)
    : m_path(std::move(storePath)),
      m_companion(m_path + "x"),
      m_damaged(m_path + ".damaged"),
      m_done(m_path + ".done") {}

CHeldMailStore::~CHeldMailStore() {
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_stopping = true;
        m_hurry.store(true);
    }
    m_wake.notify_all();
    m_syncWake.notify_all();
    if (m_writer.joinable()) m_writer.join();
    if (m_syncer.joinable()) m_syncer.join();
    finishHolding();
    compactNow();
}

void CHeldMailStore::startWriter() {
    if (!m_writer.joinable()) m_writer = std::thread([this] { writerLoop(); });
    if (!m_syncer.joinable()) m_syncer = std::thread([this] { syncLoop(); });
}

void CHeldMailStore::setSyncListener(std::function<void()> listener) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_syncListener = std::move(listener);
}

void CHeldMailStore::takeSyncOutcomes(std::vector<SyncOutcome>& out) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    out.insert(out.end(), m_outcomes.begin(), m_outcomes.end());
    m_outcomes.clear();
}

long CHeldMailStore::readBytes(char* dst, size_t n) {
    size_t done = 0;
    while (done < n) {
        if (m_inPos == m_inEnd) {
            // Large payloads go straight to the caller; small pieces come from the buffer.
            if (n - done >= IO_BUFFER_SIZE) {
                long got = m_in.read(dst + done, n - done);
                if (got < 0) return -1;
                done += static_cast<size_t>(got);
                break;
            }
            long got = m_in.read(m_inBuffer, IO_BUFFER_SIZE);
            if (got < 0) return -1;
            if (got == 0) break;
            m_inPos = 0;
            m_inEnd = static_cast<size_t>(got);
        }
        size_t take = std::min(m_inEnd - m_inPos, n - done);
        std::memcpy(dst + done, m_inBuffer + m_inPos, take);
        m_inPos += take;
        done += take;
    }
    return static_cast<long>(done);
}

bool CHeldMailStore::holdMail(const char* name, int32_t storedTime, const char* payload,
                              size_t length, bool acknowledged, int64_t* ref) {
    if (length > static_cast<size_t>(MAX_STORED_PAYLOAD)) return false;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_wholeEnd + static_cast<int64_t>(RECORD_HEADER_SIZE + length) > MAX_STORE_SIZE)
        return false;
    if (m_needsRepair && !m_append.isOpen()) {
        if (!recoverLocked()) return false;
    }
    if (!m_append.isOpen()) {
        m_appendCreated = !fileExists(m_path);
        if (m_appendCreated) {
            m_identity = 0;  // a new file: learnt when first needed
            m_wholeEnd = 0;
            m_cutPending = false;
        }
        if (!m_append.open(m_path, CFile::CREATE_KEEP)) return false;
        // Bytes of an append that failed earlier are cut off before anything follows them.
        if ((m_cutPending && !m_append.truncate(m_wholeEnd)) || !m_append.seek(m_wholeEnd)) {
            m_append.close();
            return false;
        }
        m_cutPending = false;
    }
    const int64_t offset = m_wholeEnd;
    std::memset(m_record, 0, NAME_FIELD_SIZE);
    std::memcpy(m_record, name, strnlen(name, NAME_FIELD_SIZE));
    putInt32(m_record + 20, storedTime);
    putInt32(m_record + 24, static_cast<int32_t>(length));
    if (length > 0) std::memcpy(m_record + RECORD_HEADER_SIZE, payload, length);
    // One write per record, so that a crash can tear only the last one.
    if (!m_append.write(m_record, RECORD_HEADER_SIZE + length)) {
        // Part of the record may be there (a full disk): it is cut off at once, so that the
        // records before it flow on and the next append finds a whole file; cutting needs no
        // room. Should the cut fail, the next append tries it again first.
        m_cutPending = !m_append.truncate(offset);
        m_append.close();
        if (m_appendCreated) m_directoryDirty = true;
        m_appendCreated = false;
        return false;
    }
    m_wholeEnd = offset + static_cast<int64_t>(RECORD_HEADER_SIZE + length);
    ++m_appended;
    m_index.push_back(
        Entry::make(m_appended, offset, static_cast<int32_t>(length), storedTime, acknowledged));
    char recipient[NAME_BUFFER_SIZE];
    getName(m_record, recipient);
    listUnder(recipient, static_cast<uint32_t>(m_index.size() - 1));
    if (ref != nullptr) *ref = static_cast<int64_t>(m_appended);
    return true;
}

void CHeldMailStore::takeInFlight(int64_t ref) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Entry* e = find(ref);
    if (e != nullptr && e->state() == LIVE) {
        e->setState(IN_FLIGHT);
        ++m_inFlight;
    }
}

bool CHeldMailStore::withdraw(const std::vector<int64_t>& refs) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return noteGone(refs);
}

size_t CHeldMailStore::heldCount() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_index.size() - m_gone;
}

bool CHeldMailStore::carryOver(const char* oldName, const char* newName) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto own = m_nameIds.find(oldName);
    if (own == m_nameIds.end() || sameName(oldName, newName)) return true;
    if (!m_reader.isOpen() && !m_reader.open(m_path, CFile::READ)) return false;
    std::vector<int64_t> originals, copies;
    // Positions, not references into the index: appending may move the index.
    const uint32_t ownId = own->second;  // appending may add names: the iterator may not last
    const std::vector<uint32_t> positions = m_byName[ownId];
    std::vector<char> payload;
    bool ok = true;
    for (uint32_t i : positions) {
        const Entry e = m_index[i];
        if (e.state() != LIVE) continue;  // one on its way is reported by its connection
        payload.resize(static_cast<size_t>(e.length()));
        int64_t ref = 0;
        ok = m_reader.seek(e.offset() + static_cast<int64_t>(RECORD_HEADER_SIZE)) &&
             m_reader.readExact(payload.data(), payload.size()) &&
             holdMail(newName, e.time, payload.data(), payload.size(), true, &ref);
        if (!ok) break;
        originals.push_back(seqOf(e));
        copies.push_back(ref);
    }
    // The copies are on disk before the originals go.
    ok = finishHolding() && ok;
    // Records on their way keep their place and number and take the new name where they are:
    // should their delivery not be written (the user leaves first), they are the new name's.
    std::vector<uint32_t> onTheirWay;
    for (uint32_t i : positions)
        if (m_index[i].state() == IN_FLIGHT) onTheirWay.push_back(i);
    if (ok && !onTheirWay.empty()) {
        ok = renameInPlace(onTheirWay, newName);
        if (!ok) renameInPlace(onTheirWay, oldName);  // what was written goes back
    }
    if (ok) {
        if (!onTheirWay.empty()) {
            const uint32_t to = nameId(newName);
            std::vector<uint32_t>& left = m_byName[ownId];
            left.erase(
                std::remove_if(left.begin(), left.end(),
                               [this](uint32_t i) { return m_index[i].state() == IN_FLIGHT; }),
                left.end());
            // Positions follow the numbers: the records keep their order among the new name's.
            std::vector<uint32_t>& joined = m_byName[to];
            const size_t had = joined.size();
            joined.insert(joined.end(), onTheirWay.begin(), onTheirWay.end());
            std::inplace_merge(joined.begin(), joined.begin() + static_cast<std::ptrdiff_t>(had),
                               joined.end());
        }
        return noteGone(originals);
    }
    // Otherwise the copies, the last records of the file, are cut off as if never written.
    if (!copies.empty()) {
        const int64_t from = find(copies.front())->offset();
        CFile f;
        bool cut = f.open(m_path, CFile::READ_WRITE) && f.truncate(from);
        cut = f.close() && cut;
        if (cut) {
            while (!m_index.empty() && seqOf(m_index.back()) >= copies.front()) m_index.pop_back();
            m_wholeEnd = from;
            for (auto& positions : m_byName)
                while (!positions.empty() && positions.back() >= m_index.size())
                    positions.pop_back();
        } else {
            noteGone(copies);
        }
    }
    return false;
}
bool CHeldMailStore::renameInPlace(const std::vector<uint32_t>& positions, const char* name) {
    char field[NAME_FIELD_SIZE] = {};
    std::memcpy(field, name, strnlen(name, NAME_FIELD_SIZE));
    CFile f;
    bool ok = f.open(m_path, CFile::READ_WRITE);
    for (size_t k = 0; ok && k < positions.size(); ++k)
        ok = f.seek(m_index[positions[k]].offset()) && f.write(field, NAME_FIELD_SIZE);
    ok = ok && f.sync();
    ok = f.close() && ok;
    // A rewrite copying meanwhile may hold the bytes from before: it starts again.
    ++m_generation;
    return ok;
}

void CHeldMailStore::closeAppend() {
    if (!m_append.isOpen()) return;
    m_append.close();
    if (m_appendCreated) m_directoryDirty = true;
    m_appendCreated = false;
}

uint64_t CHeldMailStore::requestSync() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    closeAppend();
    if (m_appended > m_syncWanted) {
        m_syncWanted = m_appended;
        m_syncWake.notify_all();
    }
    return m_appended;
}

bool CHeldMailStore::syncFileLocked() {
    CFile file;
    bool ok = file.open(m_path, CFile::READ) && file.sync();
    file.close();
    if (ok && m_directoryDirty) {
        ok = syncDirectory(directoryOf(m_path));
        if (ok) m_directoryDirty = false;
    }
    return ok;
}

bool CHeldMailStore::finishHolding() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    closeAppend();
    if (m_appended <= m_synced && !m_directoryDirty) return true;
    const bool ok = syncFileLocked();
    if (!ok) dropUnsynced(m_synced, m_appended);
    m_synced = m_syncWanted = m_appended;
    m_outcomes.push_back({m_appended, ok});
    if (m_syncListener) m_syncListener();
    return ok;
}

// Flushes the store to disk whenever a routing asks, without the lock; one flush covers every
// record appended before it began. The file is opened by its name: a rewrite that took the
// store's place meanwhile flushed the records it copied itself.
void CHeldMailStore::syncLoop() {
    std::unique_lock<std::recursive_mutex> lock(m_mutex);
    for (;;) {
        m_syncWake.wait(lock, [this] { return m_stopping || m_syncWanted > m_synced; });
        if (m_stopping) break;
        const uint64_t target = m_appended;
        const bool directory = m_directoryDirty;
        m_directoryDirty = false;
        lock.unlock();
        CFile file;
        bool ok = file.open(m_path, CFile::READ) && file.sync();
        file.close();
        if (ok && directory) ok = syncDirectory(directoryOf(m_path));
        lock.lock();
        if (!ok && directory) m_directoryDirty = true;
        if (target <= m_synced) continue;  // a flush on the worker covered it meanwhile
        if (!ok) dropUnsynced(m_synced, target);
        m_synced = target;
        m_outcomes.push_back({target, ok});
        if (m_syncListener) m_syncListener();
    }
}

void CHeldMailStore::dropUnsynced(uint64_t from, uint64_t through) {
    // Their senders hear of the failure: such a record must never be delivered.
    std::vector<int64_t> refused;
    auto it = std::upper_bound(m_index.begin(), m_index.end(), static_cast<int64_t>(from),
                               [this](int64_t seq, const Entry& e) { return seq < seqOf(e); });
    for (; it != m_index.end() && seqOf(*it) <= static_cast<int64_t>(through); ++it)
        if (it->state() == LIVE && !it->acknowledged()) refused.push_back(seqOf(*it));
    noteGone(refused);
}

bool CHeldMailStore::scan(bool& readable) {
    readable = true;
    m_index.clear();
    for (auto& positions : m_byName) positions.clear();
    m_gone = 0;
    m_goneBytes = 0;
    m_inFlight = 0;
    m_wholeEnd = 0;
    m_badLength = false;
    if (!m_in.open(m_path, CFile::READ)) {
        readable = !fileExists(m_path);
        return readable;
    }
    m_inPos = m_inEnd = 0;
    bool whole = true;
    int64_t offset = 0;
    for (;;) {
        long got = readBytes(m_record, RECORD_HEADER_SIZE);
        if (got < 0) {
            readable = false;
            whole = false;
            break;
        }
        if (got == 0) break;
        if (got < static_cast<long>(RECORD_HEADER_SIZE)) {
            whole = false;
            break;
        }
        const int32_t length = getInt32(m_record + 24);
        if (length < 0 || length > MAX_STORED_PAYLOAD) {
            m_badLength = true;
            whole = false;
            break;
        }
        got = readBytes(m_record + RECORD_HEADER_SIZE, static_cast<size_t>(length));
        if (got != length) {
            readable = got >= 0;
            whole = false;
            break;
        }
        ++m_appended;
        m_index.push_back(Entry::make(m_appended, offset, length, getInt32(m_record + 20), false));
        char recipient[NAME_BUFFER_SIZE];
        getName(m_record, recipient);
        listUnder(recipient, static_cast<uint32_t>(m_index.size() - 1));
        offset += static_cast<int64_t>(RECORD_HEADER_SIZE) + length;
    }
    m_wholeEnd = offset;
    m_in.close();
    return whole;
}

bool CHeldMailStore::cutTail() {
    CFile f;
    bool ok = f.open(m_path, CFile::READ_WRITE);
    if (ok && m_badLength) ok = moveAside(f, m_wholeEnd);
    ok = ok && f.truncate(m_wholeEnd) && f.sync();
    ok = f.close() && ok;
    return ok;
}

void CHeldMailStore::readDone(std::vector<int64_t>& offsets) {
    std::string data;
    if (!readWholeFile(m_done, data)) return;
    for (size_t off = 0; off + DONE_ENTRY_SIZE <= data.size(); off += DONE_ENTRY_SIZE) {
        if (getInt64(data.data() + off) == m_identity)
            offsets.push_back(static_cast<int64_t>(getInt64(data.data() + off + 8)));
    }
}

CHeldMailStore::Entry* CHeldMailStore::find(int64_t ref) {
    auto it = std::lower_bound(m_index.begin(), m_index.end(), ref,
                               [this](const Entry& e, int64_t r) { return seqOf(e) < r; });
    return it != m_index.end() && seqOf(*it) == ref ? &*it : nullptr;
}

CHeldMailStore::Entry* CHeldMailStore::findOffset(int64_t offset) {
    auto it = std::lower_bound(m_index.begin(), m_index.end(), offset,
                               [](const Entry& e, int64_t o) { return e.offset() < o; });
    return it != m_index.end() && it->offset() == offset ? &*it : nullptr;
}

uint32_t CHeldMailStore::nameId(const char* name) {
    auto [it, added] = m_nameIds.emplace(name, static_cast<uint32_t>(m_names.size()));
    if (added) {
        m_names.push_back(name);
        m_byName.emplace_back();
    }
    return it->second;
}

void CHeldMailStore::listUnder(const char* name, uint32_t pos) {
    m_byName[nameId(name)].push_back(pos);
}

bool CHeldMailStore::recover() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return recoverLocked();
}

bool CHeldMailStore::recoverLocked() {
    finishHolding();
    m_reader.close();
    m_notes.close();
    ++m_generation;
    fileIdentity(m_path, m_identity);
    std::vector<int64_t> done;
    readDone(done);
    bool readable = true;
    // Records read now count as on disk; their numbers follow any given out before.
    const bool whole = scan(readable);
    m_synced = m_syncWanted = m_appended;
    if (!whole) {
        // A torn end, or the unreadable rest moved aside, is cut off: no record moves, so the
        // .done entries stay true.
        if (!readable || !cutTail()) {
            m_needsRepair = true;
            return false;
        }
    }
    m_needsRepair = false;
    m_cutPending = false;
    for (int64_t offset : done) {
        Entry* e = findOffset(offset);
        if (e != nullptr && e->state() != GONE) {
            e->setState(GONE);
            ++m_gone;
            m_goneBytes += static_cast<int64_t>(RECORD_HEADER_SIZE) + e->length();
        }
    }
    openNotes();
    m_wake.notify_all();
    return true;
}

bool CHeldMailStore::redeliverHeld(const char* name, int32_t holdLimit, int32_t now,
                                   CHeldMailTarget& target, size_t maxBytes, bool* more, bool thin,
                                   bool* waiting) {
    if (more != nullptr) *more = false;
    if (waiting != nullptr) *waiting = false;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    requestSync();  // the file is read below; what was appended reaches the disk as usual
    if (m_needsRepair && !recoverLocked()) return false;
    if (m_index.empty()) return true;  // no store, or nothing in it: no file is made
    if (!m_reader.isOpen() && !m_reader.open(m_path, CFile::READ)) return false;
    bool ok = true;
    auto own = m_nameIds.find(name);
    bool leftForLater = false;  // records of name wait for a further call
    if (own != m_nameIds.end()) {
        size_t offered = 0;
        for (uint32_t i : m_byName[own->second]) {
            Entry& e = m_index[i];
            if (e.state() != LIVE) continue;
            if (static_cast<uint64_t>(seqOf(e)) > m_synced) {
                // Not on disk yet (its sender has not heard of success): it follows once it is.
                if (waiting != nullptr) *waiting = true;
                break;
            }
            if (offered >= maxBytes) {
                leftForLater = true;
                if (more != nullptr) *more = true;
                break;
            }
            offered += RECORD_HEADER_SIZE + static_cast<size_t>(e.length());
            char* payload = m_record + RECORD_HEADER_SIZE;
            if (!m_reader.seek(e.offset() + static_cast<int64_t>(RECORD_HEADER_SIZE)) ||
                !m_reader.readExact(payload, static_cast<size_t>(e.length()))) {
                ok = false;
                break;
            }
            // Once one delivery cannot be queued (the connection has ended), the rest stay.
            if (!target.deliverHeld(e.time, payload, static_cast<size_t>(e.length()), seqOf(e)))
                break;
            e.setState(IN_FLIGHT);
            ++m_inFlight;
        }
    }
    // Every hand-over thins the whole store: expired mail and mail for unknown names go.
    if (!thin) return ok;
    std::vector<int64_t> gone;
    for (size_t id = 0; id < m_names.size(); ++id) {
        if (m_byName[id].empty()) continue;
        // The user's own records are all delivered, old or not; those left for a further call
        // are not judged here, nor those of anybody connected (a hand-over of theirs is under
        // way). (Ones a failed delivery left behind are, like anybody's.)
        if (leftForLater && id == own->second) continue;
        if (target.isConnectedRecipient(m_names[id].c_str())) continue;
        const bool known = target.isKnownRecipient(m_names[id].c_str());
        for (uint32_t i : m_byName[id]) {
            const Entry& e = m_index[i];
            if (e.state() != LIVE) continue;
            const bool expired = holdLimit != 0 && static_cast<int64_t>(e.time) + holdLimit < now;
            if (!known || expired) gone.push_back(seqOf(e));
        }
    }
    std::sort(gone.begin(), gone.end());
    return noteGone(gone) && ok;
}

bool CHeldMailStore::noteGone(const std::vector<int64_t>& refs) {
    if (refs.empty()) return true;
    if (m_identity == 0) fileIdentity(m_path, m_identity);
    std::string entries;
    entries.reserve(refs.size() * DONE_ENTRY_SIZE);
    for (int64_t ref : refs) {
        Entry* e = find(ref);
        if (e == nullptr || e->state() == GONE) continue;
        if (e->state() == IN_FLIGHT) --m_inFlight;
        e->setState(GONE);
        ++m_gone;
        m_goneBytes += static_cast<int64_t>(RECORD_HEADER_SIZE) + e->length();
        char entry[DONE_ENTRY_SIZE];
        putInt64(entry, m_identity);
        putInt64(entry + 8, static_cast<uint64_t>(e->offset()));
        entries.append(entry, DONE_ENTRY_SIZE);
    }
    // Gone in memory either way; the note keeps a restart from repeating them. (It is flushed to
    // disk by the background writer, soon: only a power cut before that could repeat them.)
    const bool ok = entries.empty() || appendNotes(entries);
    report(
        "a delivered or dropped record could not be noted as gone; a restart would hand it "
        "over again",
        !ok);
    m_wake.notify_all();
    return ok;
}

bool CHeldMailStore::openNotes() {
    if (m_notes.isOpen()) return true;
    if (!m_notes.open(m_done, CFile::CREATE_KEEP)) return false;
    const int64_t size = m_notes.size();
    // A torn last entry (a partial write, a power cut) is cut, so later entries keep their places.
    const int64_t whole = size - size % static_cast<int64_t>(DONE_ENTRY_SIZE);
    if (size < 0 || (whole != size && !m_notes.truncate(whole))) {
        m_notes.close();
        return false;
    }
    m_notesSize = whole;
    m_notesReserved = whole;
    reserveNotes();
    return true;
}

void CHeldMailStore::reserveNotes() {
    if (m_notesReserved - m_notesSize >= NOTES_RESERVE / 2) return;
    if (m_notes.reserve(m_notesSize, NOTES_RESERVE)) m_notesReserved = m_notesSize + NOTES_RESERVE;
}

bool CHeldMailStore::appendNotes(const std::string& entries) {
    if (!openNotes()) return false;
    if (!m_notes.seek(m_notesSize) || !m_notes.write(entries.data(), entries.size())) {
        m_notes.truncate(m_notesSize);  // never a torn entry in front of later ones
        return false;
    }
    m_notesSize += static_cast<int64_t>(entries.size());
    m_doneDirty = true;
    reserveNotes();
    return true;
}

void CHeldMailStore::report(const char* what, bool failed) {
    if (failed && !m_notesFailing) logEvent(std::string(what) + " (" + lastFileError() + ")");
    m_notesFailing = failed;
}

bool CHeldMailStore::handedOver(const std::vector<int64_t>& refs) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return noteGone(refs);
}

void CHeldMailStore::release(int64_t ref) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Entry* e = find(ref);
    if (e != nullptr && e->state() == IN_FLIGHT) {
        e->setState(LIVE);
        --m_inFlight;
    }
}

size_t CHeldMailStore::heldFor(const char* name) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto id = m_nameIds.find(name);
    if (id == m_nameIds.end()) return 0;
    size_t count = 0;
    for (const uint32_t i : m_byName[id->second]) count += m_index[i].state() != GONE ? 1 : 0;
    return count;
}

bool CHeldMailStore::snapshot(CFile& file, std::vector<std::pair<int64_t, size_t>>& records) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    records.clear();
    file.close();
    if (m_index.empty()) return true;
    if (!file.open(m_path, CFile::READ)) return false;
    records.reserve(m_index.size() - m_gone);
    for (const Entry& e : m_index) {
        // Mail whose sender has not heard of success yet is not part of the picture: its flush
        // may still fail.
        const bool accepted = e.acknowledged() || static_cast<uint64_t>(seqOf(e)) <= m_synced;
        if (e.state() != GONE && accepted)
            records.emplace_back(e.offset(), RECORD_HEADER_SIZE + static_cast<size_t>(e.length()));
    }
    return true;
}

bool CHeldMailStore::moveAside(CFile& in, int64_t from) {
    CFile aside;
    bool created = !fileExists(m_damaged);
    bool ok = aside.open(m_damaged, CFile::CREATE_KEEP) && aside.seekToEnd() && in.seek(from);
    while (ok) {
        long got = in.read(m_inBuffer, IO_BUFFER_SIZE);
        if (got < 0) ok = false;
        if (got <= 0) break;
        ok = aside.write(m_inBuffer, static_cast<size_t>(got));
    }
    ok = ok && aside.sync();
    ok = aside.close() && ok;
    if (ok && created) ok = syncDirectory(directoryOf(m_damaged));
    return ok;
}

bool CHeldMailStore::compactNow() {
    std::unique_lock<std::recursive_mutex> lock(m_mutex);
    for (int attempt = 0; attempt < 3; ++attempt) {  // again only when changed meanwhile
        if (m_gone == 0) return true;
        if (compactLocked(lock)) return true;
        if (m_append.isOpen() || m_needsRepair) return false;
    }
    return false;
}

// One rewrite without the gone records. The records are copied without the lock (appends only
// add after the copied part); the lock is held again for the records appended meanwhile, the
// rename and the new index. Records keep their numbers, so deliveries on their way are reported
// as usual afterwards. Called and returning with the lock held.
bool CHeldMailStore::compactLocked(std::unique_lock<std::recursive_mutex>& lock) {
    if (m_gone == 0) return true;
    if (m_append.isOpen() || m_needsRepair) return false;
    const int64_t began = monotonicMs();
    // Only the index is copied under the lock; the copy plan is made from it without.
    const std::vector<Entry> snapshot = m_index;
    const uint64_t generation = m_generation;
    lock.unlock();

    struct Copy {
        int64_t from;
        int64_t size;
    };
    std::vector<Copy> copies;
    copies.reserve(snapshot.size());
    std::vector<bool> copied(snapshot.size());  // per record of the snapshot
    int64_t end = 0;
    for (size_t i = 0; i < snapshot.size(); ++i) {
        const Entry& e = snapshot[i];
        const int64_t size = static_cast<int64_t>(RECORD_HEADER_SIZE) + e.length();
        copied[i] = e.state() != GONE;
        if (copied[i]) copies.push_back({e.offset(), size});
        end = e.offset() + size;
    }
    const size_t snapshotCount = snapshot.size();

    std::vector<char> buffer(IO_BUFFER_SIZE);
    CFile in, out;
    bool ok = in.open(m_path, CFile::READ) && out.open(m_companion, CFile::CREATE_TRUNCATE);
    int64_t bytesCopied = 0, pausedAt = 0;
    for (size_t k = 0; ok && k < copies.size();) {
        // Neighbouring records are copied together.
        int64_t from = copies[k].from, size = copies[k].size;
        for (++k; k < copies.size() && copies[k].from == from + size &&
                  size + copies[k].size <= static_cast<int64_t>(buffer.size());
             ++k)
            size += copies[k].size;
        if (size > static_cast<int64_t>(buffer.size())) buffer.resize(static_cast<size_t>(size));
        ok = in.seek(from) && in.readExact(buffer.data(), static_cast<size_t>(size)) &&
             out.write(buffer.data(), static_cast<size_t>(size));
        // A large rewrite pauses after every piece, so that it never takes the processors (or
        // the machine's share of them) from the worker for long; not while the server stops.
        bytesCopied += size;
        if (bytesCopied - pausedAt >= PACE_PIECE && !m_hurry.load()) {
            pausedAt = bytesCopied;
            std::this_thread::sleep_for(std::chrono::milliseconds(PACE_PAUSE_MS));
        }
    }
    // The bulk reaches the disk before the lock is taken again; only the tail is flushed under it.
    ok = ok && out.sync();

    lock.lock();
    if (ok && (m_generation != generation || m_append.isOpen() || m_needsRepair)) {
        ok = false;  // changed meanwhile in a way the copy cannot follow; tried again later
    }
    // Records appended meanwhile follow as they are.
    const int64_t tail = m_wholeEnd;
    if (ok && tail > end) {
        buffer.resize(static_cast<size_t>(std::max<int64_t>(tail - end, IO_BUFFER_SIZE)));
        ok = in.seek(end) && in.readExact(buffer.data(), static_cast<size_t>(tail - end)) &&
             out.write(buffer.data(), static_cast<size_t>(tail - end)) && out.sync();
    }
    ok = out.close() && ok;
    // The old file stays open here until the lock is given up: freeing a large file's blocks
    // takes a while, and nobody should wait for it.
    uint64_t newIdentity = 0;
    ok = ok && fileIdentity(m_companion, newIdentity);
    // The new offsets; records gone since the copy began are in the new file and are noted
    // again under its identity before it takes the store's place.
    std::vector<Entry> index;
    std::string late;
    int64_t at = 0;  // the end of the new file
    int64_t lateBytes = 0;
    if (ok) {
        index.reserve(m_index.size());
        for (size_t i = 0; i < m_index.size(); ++i) {
            Entry e = m_index[i];
            const int64_t size = static_cast<int64_t>(RECORD_HEADER_SIZE) + e.length();
            if (i < snapshotCount && !copied[i]) continue;
            e.setOffset(at);
            at += size;
            if (e.state() == GONE) {
                lateBytes += size;
                char entry[DONE_ENTRY_SIZE];
                putInt64(entry, newIdentity);
                putInt64(entry + 8, static_cast<uint64_t>(e.offset()));
                late.append(entry, DONE_ENTRY_SIZE);
            }
            index.push_back(e);
        }
    }
    if (ok && !late.empty()) ok = appendNotes(late);
    const bool noted = ok && !late.empty();
    ok = ok && renameFile(m_companion, m_path);
    if (!ok) {
        removeFile(m_companion);
        // Notes made for the file that did not take the store's place must not outlive it (its
        // identity may be given to a later file).
        std::string data, kept;
        if (noted && readWholeFile(m_done, data)) {
            for (size_t off = 0; off + DONE_ENTRY_SIZE <= data.size(); off += DONE_ENTRY_SIZE)
                if (getInt64(data.data() + off) != newIdentity)
                    kept.append(data, off, DONE_ENTRY_SIZE);
            m_notes.close();
            replaceFileAtomically(m_done, kept, "x");
            openNotes();
        }
        lock.unlock();
        in.close();
        lock.lock();
        return false;
    }
    m_reader.close();
    m_identity = newIdentity;
    ++m_generation;
    // The per-name lists follow the records to their new positions.
    {
        std::vector<uint32_t> moved(m_index.size(), UINT32_MAX);
        for (size_t i = 0, k = 0; i < m_index.size(); ++i)
            if (i >= snapshotCount || copied[i]) moved[i] = static_cast<uint32_t>(k++);
        for (auto& positions : m_byName) {
            size_t kept = 0;
            for (const uint32_t p : positions)
                if (moved[p] != UINT32_MAX) positions[kept++] = moved[p];
            positions.resize(kept);
            if (positions.capacity() > 2 * kept + 16) positions.shrink_to_fit();
        }
    }
    m_index = std::move(index);
    m_wholeEnd = at;
    m_gone = late.size() / DONE_ENTRY_SIZE;
    logEvent("held-mail store rewritten: " + std::to_string(m_index.size()) + " records, " +
             std::to_string(at) + " bytes, " + std::to_string(monotonicMs() - began) + " ms");
    m_goneBytes = lateBytes;
    m_cutPending = false;
    // Only entries of the new file remain meaningful. (A crash before this leaves entries of the
    // old file too, which name another identity and are passed over.)
    // The companion keeps its room set aside.
    if (late.empty()) {
        if (m_notes.isOpen() && m_notes.truncate(0)) {
            m_notesSize = 0;
            reserveNotes();
        } else {
            m_notes.close();
            removeFile(m_done);
            openNotes();
        }
    } else {
        m_notes.close();
        CFile done;
        bool written =
            done.open(m_done + "x", CFile::CREATE_TRUNCATE) && done.write(late.data(), late.size());
        written = done.close() && written;
        if (!written || !renameFile(m_done + "x", m_done)) removeFile(m_done + "x");
        openNotes();
        m_doneDirty = true;
    }
    lock.unlock();
    in.close();
    syncDirectory(directoryOf(m_path));
    lock.lock();
    return true;
}

void CHeldMailStore::writerLoop() {
    lowerThisThreadsPriority();
    std::unique_lock<std::recursive_mutex> lock(m_mutex);
    while (!m_stopping) {
        if (m_doneDirty) {
            m_doneDirty = false;
            lock.unlock();
            CFile done;
            if (done.open(m_done, CFile::READ)) done.sync();
            done.close();
            lock.lock();
            continue;
        }
        if (m_gone == 0) {
            m_wake.wait(lock);
            continue;
        }
        // Let more hand-overs join this rewrite.
        m_wake.wait_for(lock, std::chrono::milliseconds(COALESCE_MS),
                        [this] { return m_stopping; });
        if (m_stopping) break;
        // While deliveries are on their way (a hand-over, a slow reader) the store is rewritten
        // once a quarter of it is gone: often enough to stay near the size of what is held,
        // seldom enough that a long hand-over does not copy the file again and again.
        if (m_inFlight > 0 && m_goneBytes * 4 < m_wholeEnd) {
            m_wake.wait_for(lock, std::chrono::milliseconds(BUSY_RETRY_MS),
                            [this] { return m_stopping; });
            continue;
        }
        if (compactLocked(lock)) continue;
        const bool busy = m_append.isOpen() || m_needsRepair;
        m_wake.wait_for(lock, std::chrono::milliseconds(busy ? BUSY_RETRY_MS : RETRY_MS),
                        [this] { return m_stopping; });
    }
}

}  // namespace tovi
