#include "server/core/held_mail_store.h"

#include <cstring>

namespace tovi {

CHeldMailStore::CHeldMailStore(std::string storePath)
    : m_path(std::move(storePath)), m_companion(m_path + "x"), m_damaged(m_path + ".damaged") {}

CHeldMailStore::~CHeldMailStore() { finishHolding(); }

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
    if (m_needsRepair && !m_append.isOpen()) {
        if (!recover()) return false;
    }
    if (!m_append.isOpen()) {
        m_appendCreated = !fileExists(m_path);
        if (!m_append.open(m_path, CFile::CREATE_KEEP) || !m_append.seekToEnd()) {
            m_append.close();
            return false;
        }
    }
    putName(m_record, name);
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
    return true;
}

bool CHeldMailStore::finishHolding() {
    if (!m_append.isOpen()) return true;
    bool ok = m_append.sync();
    ok = m_append.close() && ok;
    if (ok && m_appendCreated) ok = syncDirectory(directoryOf(m_path));
    m_appendCreated = false;
    return ok;
}

bool CHeldMailStore::isWhole(bool& readable) {
    readable = true;
    if (!m_in.open(m_path, CFile::READ)) {
        readable = !fileExists(m_path);
        return readable;
    }
    m_inPos = m_inEnd = 0;
    bool whole = true;
    for (;;) {
        long got = readBytes(m_record, RECORD_HEADER_SIZE);
        if (got < 0) {
            readable = false;
            whole = false;
            break;
        }
        if (got == 0) break;
        int32_t length = getInt32(m_record + 24);
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
    }
    m_in.close();
    return whole;
}

bool CHeldMailStore::recover() {
    finishHolding();
    bool readable = true;
    if (isWhole(readable)) {
        m_needsRepair = false;
        return true;
    }
    if (!readable) return false;
    bool ok = rewrite(nullptr, 0, 0, nullptr);
    m_needsRepair = !ok;
    return ok;
}

bool CHeldMailStore::redeliverHeld(const char* name, int32_t holdLimit, int32_t now,
                                   CHeldMailTarget& target) {
    finishHolding();
    if (m_needsRepair && !recover()) return false;
    return rewrite(name, holdLimit, now, &target);
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

bool CHeldMailStore::rewrite(const char* name, int32_t holdLimit, int32_t now,
                             CHeldMailTarget* target) {
    if (!m_in.open(m_path, CFile::READ)) {
        // No store: nothing was ever held (or everything was handed over). No file is made.
        return !fileExists(m_path);
    }
    if (!m_out.open(m_companion, CFile::CREATE_TRUNCATE)) {
        m_in.close();
        return false;
    }
    m_inPos = m_inEnd = 0;
    m_outLen = 0;

    bool ok = true;
    int64_t offset = 0;
    int64_t damagedAt = -1;
    char recipient[NAME_BUFFER_SIZE];
    char* payload = m_record + RECORD_HEADER_SIZE;
    for (;;) {
        long got = readBytes(m_record, RECORD_HEADER_SIZE);
        if (got < 0) {
            ok = false;
            break;
        }
        if (got < static_cast<long>(RECORD_HEADER_SIZE)) break;  // the end, or a torn last record
        const int32_t stored = getInt32(m_record + 20);
        const int32_t length = getInt32(m_record + 24);
        if (length < 0 || length > MAX_STORED_PAYLOAD) {
            damagedAt = offset;
            break;
        }
        got = readBytes(payload, static_cast<size_t>(length));
        if (got < 0) {
            ok = false;
            break;
        }
        if (got < length) break;  // a torn last record: its sender was never told success
        offset += static_cast<int64_t>(RECORD_HEADER_SIZE) + length;

        getName(m_record, recipient);
        if (target != nullptr) {
            if (name != nullptr && sameName(recipient, name) &&
                target->deliverHeld(stored, payload, static_cast<size_t>(length)))
                continue;
            if (holdLimit != 0 && static_cast<int64_t>(stored) + holdLimit < now) continue;
            if (!target->isKnownRecipient(recipient)) continue;
        }
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

}  // namespace tovi
