#include "server/core/held_mail_store.h"

#include <algorithm>
#include <chrono>
#include <cstring>

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
// A rewrite put off by deliveries in flight or by a routing that appends is tried this soon.
constexpr int BUSY_RETRY_MS = 20;

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

bool CHeldMailStore::writeBytes(const char* src, size_t n) {
    if (m_outLen + n > IO_BUFFER_SIZE && !flushOut()) return false;
    if (n > IO_BUFFER_SIZE) return m_out.write(src, n);
    std::memcpy(m_outBuffer + m_outLen, src, n);
    m_outLen += n;
    return true;
}

bool CHeldMailStore::flushOut() {
    if (m_outLen == 0) return true;
    bool ok = m_out.write(m_outBuffer, m_outLen);
    m_outLen = 0;
    return ok;
}

bool CHeldMailStore::holdMail(const char* name, int32_t storedTime, const char* payload,
                              size_t length) {
    if (length > static_cast<size_t>(MAX_STORED_PAYLOAD)) return false;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_needsRepair && !m_append.isOpen()) {
        if (!recoverLocked()) return false;
    }
    if (!m_append.isOpen()) {
        m_appendCreated = !fileExists(m_path);
        if (m_appendCreated) m_identity = 0;  // a new file: learnt when first needed
        if (!m_append.open(m_path, CFile::CREATE_KEEP) || !m_append.seekToEnd()) {
            m_append.close();
            return false;
        }
    }
    const int64_t offset = m_append.size();
    if (offset < 0) return false;
    std::memset(m_record, 0, NAME_FIELD_SIZE);
    std::memcpy(m_record, name, strnlen(name, NAME_FIELD_SIZE));
    putInt32(m_record + 20, storedTime);
    putInt32(m_record + 24, static_cast<int32_t>(length));
    if (length > 0) std::memcpy(m_record + RECORD_HEADER_SIZE, payload, length);
    // One write per record, so that a crash can tear only the last one.
    if (!m_append.write(m_record, RECORD_HEADER_SIZE + length)) {
        // Part of the record may be there: it must be cut off before anything else is appended.
        m_append.sync();
        m_append.close();
        m_needsRepair = true;
        return false;
    }
    Entry e{};
    e.offset = offset;
    e.time = storedTime;
    e.length = static_cast<int32_t>(length);
    char recipient[NAME_BUFFER_SIZE];
    getName(m_record, recipient);
    e.name = nameId(recipient);
    e.state = LIVE;
    m_index.push_back(e);
    m_byName[e.name].push_back(static_cast<uint32_t>(m_index.size() - 1));
    ++m_appended;
    return true;
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
        m_synced = target;
        m_outcomes.push_back({target, ok});
        if (m_syncListener) m_syncListener();
    }
}

bool CHeldMailStore::scan(bool& readable) {
    readable = true;
    m_index.clear();
    m_gone = 0;
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
        const int32_t length = getInt32(m_record + 24);
        if (got < static_cast<long>(RECORD_HEADER_SIZE) || length < 0 ||
            length > MAX_STORED_PAYLOAD) {
            whole = false;
            break;
        }
        got = readBytes(m_record + RECORD_HEADER_SIZE, static_cast<size_t>(length));
        if (got != length) {
            readable = got >= 0;
            whole = false;
            break;
        }
        Entry e{};
        e.offset = offset;
        e.time = getInt32(m_record + 20);
        e.length = length;
        char recipient[NAME_BUFFER_SIZE];
        getName(m_record, recipient);
        e.name = nameId(recipient);
        e.state = LIVE;
        m_index.push_back(e);
        offset += static_cast<int64_t>(RECORD_HEADER_SIZE) + length;
    }
    m_in.close();
    return whole;
}

void CHeldMailStore::readDone(std::vector<int64_t>& offsets) {
    std::string data;
    if (!readWholeFile(m_done, data)) return;
    for (size_t off = 0; off + DONE_ENTRY_SIZE <= data.size(); off += DONE_ENTRY_SIZE) {
        if (getInt64(data.data() + off) == m_identity)
            offsets.push_back(static_cast<int64_t>(getInt64(data.data() + off + 8)));
    }
}

CHeldMailStore::Entry* CHeldMailStore::find(int64_t offset) {
    auto it = std::lower_bound(m_index.begin(), m_index.end(), offset,
                               [](const Entry& e, int64_t o) { return e.offset < o; });
    return it != m_index.end() && it->offset == offset ? &*it : nullptr;
}

uint32_t CHeldMailStore::nameId(const char* name) {
    auto [it, added] = m_nameIds.emplace(name, static_cast<uint32_t>(m_names.size()));
    if (added) {
        m_names.push_back(name);
        m_byName.emplace_back();
    }
    return it->second;
}

void CHeldMailStore::rebuildNames() {
    for (auto& positions : m_byName) positions.clear();
    for (size_t i = 0; i < m_index.size(); ++i)
        m_byName[m_index[i].name].push_back(static_cast<uint32_t>(i));
}

bool CHeldMailStore::recover() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return recoverLocked();
}

bool CHeldMailStore::recoverLocked() {
    finishHolding();
    m_reader.close();
    ++m_generation;
    fileIdentity(m_path, m_identity);
    std::vector<int64_t> done;
    readDone(done);
    bool readable = true;
    const bool whole = scan(readable);
    if (!whole) {
        if (!readable) {
            m_needsRepair = true;
            return false;
        }
        // The repair rewrites the store without the records already gone, so the .done entries
        // (which name the old file) are all used up by it.
        if (!rewrite(done)) {
            m_needsRepair = true;
            return false;
        }
        removeFile(m_done);
        done.clear();
        fileIdentity(m_path, m_identity);
        scan(readable);
    }
    m_needsRepair = false;
    m_inFlight = 0;
    for (int64_t offset : done) {
        Entry* e = find(offset);
        if (e != nullptr && e->state != GONE) {
            e->state = GONE;
            ++m_gone;
        }
    }
    rebuildNames();
    m_wake.notify_all();
    return true;
}

bool CHeldMailStore::redeliverHeld(const char* name, int32_t holdLimit, int32_t now,
                                   CHeldMailTarget& target, size_t maxBytes, bool* more,
                                   bool thin) {
    if (more != nullptr) *more = false;
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
            if (e.state != LIVE) continue;
            if (offered >= maxBytes) {
                leftForLater = true;
                if (more != nullptr) *more = true;
                break;
            }
            offered += RECORD_HEADER_SIZE + static_cast<size_t>(e.length);
            char* payload = m_record + RECORD_HEADER_SIZE;
            if (!m_reader.seek(e.offset + static_cast<int64_t>(RECORD_HEADER_SIZE)) ||
                !m_reader.readExact(payload, static_cast<size_t>(e.length))) {
                ok = false;
                break;
            }
            // Once one delivery cannot be queued (the connection has ended), the rest stay.
            if (!target.deliverHeld(e.time, payload, static_cast<size_t>(e.length), e.offset))
                break;
            e.state = IN_FLIGHT;
            ++m_inFlight;
        }
    }
    // Every hand-over thins the whole store: expired mail and mail for unknown names go.
    if (!thin) return ok;
    std::vector<int64_t> gone;
    for (size_t id = 0; id < m_names.size(); ++id) {
        if (m_byName[id].empty()) continue;
        // The user's own records are all delivered, old or not; those left for a further call
        // are not judged here. (Ones a failed delivery left behind are, like anybody's.)
        if (leftForLater && id == own->second) continue;
        const bool known = target.isKnownRecipient(m_names[id].c_str());
        for (uint32_t i : m_byName[id]) {
            Entry& e = m_index[i];
            if (e.state != LIVE) continue;
            const bool expired = holdLimit != 0 && static_cast<int64_t>(e.time) + holdLimit < now;
            if (!known || expired) gone.push_back(e.offset);
        }
    }
    std::sort(gone.begin(), gone.end());
    return noteGone(gone) && ok;
}

bool CHeldMailStore::noteGone(const std::vector<int64_t>& offsets) {
    if (offsets.empty()) return true;
    if (m_identity == 0) fileIdentity(m_path, m_identity);
    std::string entries;
    entries.reserve(offsets.size() * DONE_ENTRY_SIZE);
    for (int64_t offset : offsets) {
        Entry* e = find(offset);
        if (e == nullptr || e->state == GONE) continue;
        if (e->state == IN_FLIGHT) --m_inFlight;
        e->state = GONE;
        ++m_gone;
        char entry[DONE_ENTRY_SIZE];
        putInt64(entry, m_identity);
        putInt64(entry + 8, static_cast<uint64_t>(offset));
        entries.append(entry, DONE_ENTRY_SIZE);
    }
    bool ok = true;
    if (!entries.empty()) {
        // Gone in memory either way; the note keeps a crash of the program from repeating them.
        // (It is flushed to disk by the background writer, soon: only a power cut before that
        // could repeat them.)
        CFile done;
        ok = done.open(m_done, CFile::CREATE_KEEP) && done.seekToEnd() &&
             done.write(entries.data(), entries.size());
        ok = done.close() && ok;
        m_doneDirty = true;
    }
    m_wake.notify_all();
    return ok;
}

bool CHeldMailStore::handedOver(const std::vector<int64_t>& refs) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return noteGone(refs);
}

void CHeldMailStore::release(int64_t ref) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Entry* e = find(ref);
    if (e != nullptr && e->state == IN_FLIGHT) {
        e->state = LIVE;
        --m_inFlight;
    }
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

bool CHeldMailStore::rewrite(const std::vector<int64_t>& skip) {
    if (!m_in.open(m_path, CFile::READ)) return !fileExists(m_path);
    if (!m_out.open(m_companion, CFile::CREATE_TRUNCATE)) {
        m_in.close();
        return false;
    }
    m_inPos = m_inEnd = 0;
    m_outLen = 0;
    bool ok = true;
    int64_t offset = 0;
    int64_t damagedAt = -1;
    for (;;) {
        long got = readBytes(m_record, RECORD_HEADER_SIZE);
        if (got < 0) {
            ok = false;
            break;
        }
        if (got < static_cast<long>(RECORD_HEADER_SIZE)) break;  // the end, or a torn last record
        const int32_t length = getInt32(m_record + 24);
        if (length < 0 || length > MAX_STORED_PAYLOAD) {
            damagedAt = offset;
            break;
        }
        got = readBytes(m_record + RECORD_HEADER_SIZE, static_cast<size_t>(length));
        if (got < 0) {
            ok = false;
            break;
        }
        if (got < length) break;  // a torn last record: its sender was never told success
        const int64_t start = offset;
        offset += static_cast<int64_t>(RECORD_HEADER_SIZE) + length;
        if (std::binary_search(skip.begin(), skip.end(), start)) continue;
        if (!writeBytes(m_record, RECORD_HEADER_SIZE + static_cast<size_t>(length))) {
            ok = false;
            break;
        }
    }
    ok = ok && flushOut() && m_out.sync();
    ok = m_out.close() && ok;
    // The unreadable rest is safe beside the store before the store stops holding it.
    if (ok && damagedAt >= 0) ok = moveAside(m_in, damagedAt);
    m_in.close();
    ok = ok && renameFile(m_companion, m_path);
    if (!ok) {
        removeFile(m_companion);
        return false;
    }
    // The new store is in place; a failure to flush the directory entry changes nothing now.
    syncDirectory(directoryOf(m_path));
    return true;
}

bool CHeldMailStore::compactNow() {
    std::unique_lock<std::recursive_mutex> lock(m_mutex);
    for (int attempt = 0; attempt < 3; ++attempt) {  // again only when changed meanwhile
        if (m_gone == 0) return true;
        if (compactLocked(lock)) return true;
        if (m_inFlight > 0 || m_append.isOpen() || m_needsRepair) return false;
    }
    return false;
}

// One rewrite without the gone records. The records are copied without the lock (appends only
// add after the copied part); the lock is held again for the records appended meanwhile, the
// rename and the new index. Called and returning with the lock held.
bool CHeldMailStore::compactLocked(std::unique_lock<std::recursive_mutex>& lock) {
    if (m_gone == 0) return true;
    if (m_inFlight > 0 || m_append.isOpen() || m_needsRepair) return false;
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
        const int64_t size = static_cast<int64_t>(RECORD_HEADER_SIZE) + e.length;
        copied[i] = e.state != GONE;
        if (copied[i]) copies.push_back({e.offset, size});
        end = e.offset + size;
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
    if (ok &&
        (m_generation != generation || m_inFlight > 0 || m_append.isOpen() || m_needsRepair)) {
        ok = false;  // changed meanwhile in a way the copy cannot follow; tried again later
    }
    // Records appended meanwhile follow as they are.
    const int64_t tail = m_index.empty()
                             ? 0
                             : m_index.back().offset + static_cast<int64_t>(RECORD_HEADER_SIZE) +
                                   m_index.back().length;
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
    if (ok) {
        index.reserve(m_index.size());
        int64_t at = 0;
        for (size_t i = 0; i < m_index.size(); ++i) {
            Entry e = m_index[i];
            const int64_t size = static_cast<int64_t>(RECORD_HEADER_SIZE) + e.length;
            if (i < snapshotCount && !copied[i]) continue;
            e.offset = at;
            at += size;
            if (e.state == GONE) {
                char entry[DONE_ENTRY_SIZE];
                putInt64(entry, newIdentity);
                putInt64(entry + 8, static_cast<uint64_t>(e.offset));
                late.append(entry, DONE_ENTRY_SIZE);
            }
            index.push_back(e);
        }
    }
    if (ok && !late.empty()) {
        CFile done;
        ok = done.open(m_done, CFile::CREATE_KEEP) && done.seekToEnd() &&
             done.write(late.data(), late.size());
        ok = done.close() && ok;
    }
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
            replaceFileAtomically(m_done, kept, "x");
        }
        lock.unlock();
        in.close();
        lock.lock();
        return false;
    }
    m_reader.close();
    m_identity = newIdentity;
    ++m_generation;
    m_index = std::move(index);
    m_gone = late.size() / DONE_ENTRY_SIZE;
    rebuildNames();
    // Only entries of the new file remain meaningful. (A crash before this leaves entries of the
    // old file too, which name another identity and are passed over.)
    if (late.empty()) {
        removeFile(m_done);
    } else {
        CFile done;
        bool written =
            done.open(m_done + "x", CFile::CREATE_TRUNCATE) && done.write(late.data(), late.size());
        written = done.close() && written;
        if (!written || !renameFile(m_done + "x", m_done)) removeFile(m_done + "x");
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
        if (compactLocked(lock)) continue;
        const bool busy = m_inFlight > 0 || m_append.isOpen() || m_needsRepair;
        m_wake.wait_for(lock, std::chrono::milliseconds(busy ? BUSY_RETRY_MS : RETRY_MS),
                        [this] { return m_stopping; });
    }
}

}  // namespace tovi
