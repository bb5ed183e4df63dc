// CHeldMailStore: the mail the server holds for users who are not connected, kept in one file
// and handed over when the user next logs in (or renames itself).
//
// TovisBackMail.dat, in the server's data directory: a sequence of records, oldest first, no
// header, no padding:
//
//   offset  size  field
//        0    20  recipient user name, NUL-padded (no NUL when 20 bytes long)
//       20     4  time stored, int32 little-endian, seconds since 1970 by the server's clock
//       24     4  payload length N, int32 little-endian, 0..20000
//       28     N  payload: bytes 44 and on of the sender's PKT_MAIL body, unchanged
//
// The file only grows between rewrites: holding appends records (one flush to disk per routed
// mail, before the sender hears of success). A rewrite (at a log-in or a rename) goes through the
// companion TovisBackMail.datx, which is flushed to disk and renamed over the store, so a crash
// leaves the old store or the new one whole. The rewrite delivers the records of the user,
// drops expired ones and those of unknown users, and keeps the rest in their order.
//
// Damage: a torn last record (an append cut short by a crash or a full disk; its sender was
// never told success) is dropped. A record whose length is impossible (negative or above 20000)
// makes the rest of the file unreadable: the intact records before it are kept as usual and the
// rest is appended to TovisBackMail.dat.damaged (never overwriting what an earlier repair put
// there), so that held mail flows again and no byte is silently thrown away. The store is
// checked when the server starts, so that new records are never appended behind damage.
//
// Used by the server's worker thread only.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "protocol/packets.h"

namespace tovi {

// What a rewrite asks of its caller: the delivery of one record to the connection of the user
// that logged in, and whether a name is still registered.
class CHeldMailTarget {
  public:
    virtual ~CHeldMailTarget() = default;
    // True when the delivery was written to the connection; the record is then dropped.
    virtual bool deliverHeld(int32_t storedTime, const char* payload, size_t length) = 0;
    virtual bool isKnownRecipient(const char* name) = 0;
};

class CHeldMailStore {
  public:
    static constexpr size_t RECORD_HEADER_SIZE = 28;
    // The largest payload a record may carry; routing writes at most 19756.
    static constexpr int32_t MAX_STORED_PAYLOAD = 20000;

    // storePath: TovisBackMail.dat in the data directory.
    explicit CHeldMailStore(std::string storePath);
    ~CHeldMailStore();
    CHeldMailStore(const CHeldMailStore&) = delete;
    CHeldMailStore& operator=(const CHeldMailStore&) = delete;

    // Checks the store and, when it ends in a torn record or holds damage, repairs it (the
    // rewrite described above, delivering and dropping nothing else). False when a needed repair
    // failed; appending then first retries it.
    bool recover();

    // Appends one record stamped with storedTime. The file stays open for further records of
    // the same routing; finishHolding() flushes them to disk. False when the record could not
    // be written (the store is then repaired before the next append).
    bool holdMail(const char* name, int32_t storedTime, const char* payload, size_t length);
    // Flushes what holdMail appended since the last call to disk and closes the file. True when
    // nothing was appended or everything is on disk.
    bool finishHolding();

    // Rewrites the store: records for name are offered to target.deliverHeld (dropped when
    // delivered), records older than holdLimit seconds (0: never) before now and records whose
    // recipient target does not know are dropped, the rest kept in order. With no store there
    // is nothing to do and no file is made (true). False when the store could not be read or
    // the companion written; the store then stays as it was.
    bool redeliverHeld(const char* name, int32_t holdLimit, int32_t now, CHeldMailTarget& target);

    const std::string& path() const { return m_path; }
    const std::string& companionPath() const { return m_companion; }
    const std::string& damagedPath() const { return m_damaged; }

  private:
    static constexpr size_t IO_BUFFER_SIZE = 65536;

    // The rewrite behind recover() and redeliverHeld(); target null: keep every intact record.
    bool rewrite(const char* name, int32_t holdLimit, int32_t now, CHeldMailTarget* target);
    // Walks the store: true when it is missing or made of whole records only.
    bool isWhole(bool& readable);
    bool moveAside(CFile& in, int64_t from);

    // Buffered reading of m_in and writing of m_out during a walk or a rewrite.
    long readBytes(char* dst, size_t n);
    bool writeBytes(const char* src, size_t n);
    bool flushOut();

    std::string m_path;
    std::string m_companion;
    std::string m_damaged;
    CFile m_append;
    bool m_appendCreated = false;
    bool m_needsRepair = false;

    CFile m_in;
    CFile m_out;
    size_t m_inPos = 0;
    size_t m_inEnd = 0;
    size_t m_outLen = 0;
    char m_inBuffer[IO_BUFFER_SIZE];
    char m_outBuffer[IO_BUFFER_SIZE];
    char m_record[RECORD_HEADER_SIZE + MAX_STORED_PAYLOAD];
};

}  // namespace tovi
