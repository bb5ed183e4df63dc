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
// Holding appends records. They reach the disk through the store's sync thread: a routing asks
// for a sync and gets a ticket, and its sender hears of success only once a sync has covered the
// ticket (several routings share one flush to disk; the worker never waits for the disk). A record
// is handed over only once it is on disk. When a flush fails, the records it should have covered
// are gone at once (their senders hear of the failure), except those whose senders had heard of
// success before (mail a connection had not taken, held again). An index of the records (place,
// length, time, recipient and a number that stays the record's own while the file is rewritten
// around it) is kept in memory, built when the server starts, so a hand-over reads only the
// user's own records.
//
// A record leaves the store in two steps. First it is noted as gone in the small companion
// TovisBackMail.dat.done (16-byte entries: the identity of the store file they belong to, then
// the record's offset, little-endian; flushed to disk): a handed-over record once its delivery has
// been written whole to the connection, an expired record or one whose recipient no longer exists
// when anybody's held mail is handed over (records of connected users stay: they are being handed
// over). Then a background writer rewrites TovisBackMail.dat without the gone records,
// coalescing everything gone meanwhile into one rewrite through the companion
// TovisBackMail.datx (flushed, renamed over the store); records appended meanwhile are kept, and
// so are deliveries on their way. At start the entries that belong to the present store are
// applied, so a crash repeats at most the deliveries being written at that moment. The .done
// companion keeps room set aside on the disk for further entries, so that a full disk does not
// stop a note; when the disk has no room for a rewrite the store file lags (the .done companion
// keeps the truth) and the rewrite is tried again later. A note that still cannot be written is
// reported on stderr: that record would be handed over again after a restart.
//
// Damage: a torn last record (an append cut short by a crash or a full disk; its sender was
// never told success) is cut off, at once when the append fails, else when the server starts. A
// record whose length is impossible (negative or above 20000) makes the rest of the file
// unreadable: the rest is appended to TovisBackMail.dat.damaged (never overwriting what an
// earlier repair put there) and cut off, so that held mail flows again and no byte is silently
// thrown away. Neither repair moves a record, so they never disturb a hand-over. A torn last
// entry of the .done companion is cut off too, so that later entries keep their places.
//
// Used by the server's worker thread; the background writer and the sync thread are the store's
// own threads, and they meet under one lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/file.h"
#include "protocol/packets.h"

namespace tovi {

// What a hand-over asks of its caller: the delivery of one record to the connection of the user
// that logged in, whether a name is still registered, and whether its user is connected (its
// records are then being handed over, and are never judged as expired).
class CHeldMailTarget {
  public:
    virtual ~CHeldMailTarget() = default;
    // True when the delivery was queued on the connection; the caller later reports it with
    // handedOver(ref) once it is written whole, or release(ref) when it was not.
    virtual bool deliverHeld(int32_t storedTime, const char* payload, size_t length,
                             int64_t ref) = 0;
    virtual bool isKnownRecipient(const char* name) = 0;
    virtual bool isConnectedRecipient(const char* /*name*/) { return false; }
};

class CHeldMailStore {
  public:
    static constexpr size_t RECORD_HEADER_SIZE = 28;
    // The largest payload a record may carry; routing writes at most 19756.
    static constexpr int32_t MAX_STORED_PAYLOAD = 20000;

    // storePath: TovisBackMail.dat in the data directory.
    explicit CHeldMailStore(std::string storePath);
    // Stops the background writer after one last rewrite.
    ~CHeldMailStore();
    CHeldMailStore(const CHeldMailStore&) = delete;
    CHeldMailStore& operator=(const CHeldMailStore&) = delete;

    // Checks the store, repairs it when it ends in a torn record or holds damage, builds the
    // index and applies the .done companion. False when a needed repair failed; appending then
    // first retries it.
    bool recover();

    // Appends one record stamped with storedTime. The file stays open for further records of
    // the same routing; requestSync() or finishHolding() ends the routing. False when the record
    // could not be written (what part of it reached the file is cut off). acknowledged: its
    // sender has heard of success already, so a failed flush does not take it away. *ref: the
    // record, for takeInFlight() and withdraw().
    bool holdMail(const char* name, int32_t storedTime, const char* payload, size_t length,
                  bool acknowledged = false, int64_t* ref = nullptr);
    // The record was just held for a delivery that is on its way to its connection already: it
    // is reported later like a handed-over one (handedOver or release).
    void takeInFlight(int64_t ref);
    // Records whose routing was refused after all: they are gone, never delivered.
    bool withdraw(const std::vector<int64_t>& refs);
    // Gives the records held for oldName to newName (a user that renamed itself): copies are
    // appended and flushed to disk before the originals are noted as gone. Records on their way
    // to the user's connection are renamed where they are (they keep their place in the order),
    // so that one whose delivery is not written stays the user's. False (nothing changed) when
    // that cannot be done.
    bool carryOver(const char* oldName, const char* newName);
    // Ends a routing without waiting: the sync thread flushes everything appended so far to
    // disk. Returns the ticket that a later sync outcome covers (never 0).
    uint64_t requestSync();
    // Ends a routing and flushes everything appended so far to disk now. True when nothing was
    // appended or everything is on disk.
    bool finishHolding();

    // What a flush to disk achieved: every record up to ticket `through` is on disk (ok), or the
    // flush failed.
    struct SyncOutcome {
        uint64_t through;
        bool ok;
    };
    // The outcomes since the last call, oldest first.
    void takeSyncOutcomes(std::vector<SyncOutcome>& out);
    // Called on the sync thread after each outcome (the server raises its worker's signal).
    void setSyncListener(std::function<void()> listener);

    // Hands over the records for name, in order, to target.deliverHeld (the records stay until
    // reported); records of others older than holdLimit seconds (0: never) before now and records
    // whose recipient target does not know are gone. False when the store could not be read.
    // At most about maxBytes of records are offered in one call; *more tells whether records of
    // name are left for a further call. A further call of the same hand-over passes thin false:
    // the store was thinned by its first call. Records not yet on disk are not offered;
    // *waiting tells that some are there (a sync outcome will bring them).
    bool redeliverHeld(const char* name, int32_t holdLimit, int32_t now, CHeldMailTarget& target,
                       size_t maxBytes = SIZE_MAX, bool* more = nullptr, bool thin = true,
                       bool* waiting = nullptr);
    // Deliveries written whole: their records are gone (noted on disk before this returns).
    bool handedOver(const std::vector<int64_t>& refs);
    // A delivery that was not written: its record stays for the next hand-over.
    void release(int64_t ref);

    // The records held now for this recipient (those handed over or gone excluded).
    size_t heldFor(const char* name);
    // A consistent picture of the store for a backup, taken under the store's lock: the store
    // file opened for reading (it keeps these records whatever a later rewrite does: a rewrite
    // renames a new file over the name, and appends go after them) and the offset and size
    // (header included) of every record held now whose sender has heard of success, in order.
    // False when the file could not be
    // opened; a store that does not exist yet gives no records and a closed file.
    bool snapshot(CFile& file, std::vector<std::pair<int64_t, size_t>>& records);

    // Rewrites the store without the gone records now, on the calling thread (deliveries on their
    // way keep their references). True when the file holds exactly the records that remain (or
    // nothing was gone).
    bool compactNow();
    // Starts the background writer (the server does; tests of the file alone may not).
    void startWriter();

    const std::string& path() const { return m_path; }
    const std::string& companionPath() const { return m_companion; }
    const std::string& damagedPath() const { return m_damaged; }
    const std::string& donePath() const { return m_done; }
    // Records held (not gone).
    size_t heldCount();

  private:
    static constexpr size_t IO_BUFFER_SIZE = 65536;
    enum : uint8_t { LIVE, IN_FLIGHT, GONE };
    // One record of the index in 16 bytes: its place in the file (40 bits: up to 1 TB), its
    // payload length (15 bits), its state, whether its sender had heard of success already (a
    // failed flush keeps it), the low half of its number (the whole one follows from the last
    // number given out: no record outlives four thousand million later ones), and its time. Its
    // recipient is known from the per-name lists.
    struct Entry {
        static constexpr uint64_t OFFSET_MASK = (uint64_t{1} << 40) - 1;
        uint64_t bits = 0;
        uint32_t seqLow = 0;
        int32_t time = 0;

        int64_t offset() const { return static_cast<int64_t>(bits & OFFSET_MASK); }
        int32_t length() const { return static_cast<int32_t>((bits >> 40) & 0x7fff); }
        uint8_t state() const { return static_cast<uint8_t>((bits >> 55) & 3); }
        bool acknowledged() const { return ((bits >> 57) & 1) != 0; }
        void setOffset(int64_t o) {
            bits = (bits & ~OFFSET_MASK) | (static_cast<uint64_t>(o) & OFFSET_MASK);
        }
        void setState(uint8_t s) {
            bits = (bits & ~(uint64_t{3} << 55)) | (static_cast<uint64_t>(s) << 55);
        }
        static Entry make(uint64_t seq, int64_t offset, int32_t length, int32_t time,
                          bool acknowledged) {
            Entry e;
            e.bits = (static_cast<uint64_t>(offset) & OFFSET_MASK) |
                     (static_cast<uint64_t>(length) << 40) |
                     (static_cast<uint64_t>(acknowledged ? 1 : 0) << 57);
            e.seqLow = static_cast<uint32_t>(seq);
            e.time = time;
            return e;
        }
    };
    static constexpr int64_t MAX_STORE_SIZE = static_cast<int64_t>(Entry::OFFSET_MASK);
    int64_t seqOf(const Entry& e) const {
        return static_cast<int64_t>(
            m_appended - static_cast<uint32_t>(static_cast<uint32_t>(m_appended) - e.seqLow));
    }
    // Adds the record at index position pos to its recipient's list.
    void listUnder(const char* name, uint32_t pos);

    bool recoverLocked();
    // Walks the store: true when it is missing or made of whole records only; fills the index
    // and leaves the end of the last whole record in m_wholeEnd (m_badLength: what follows has
    // an impossible length, rather than being torn).
    bool scan(bool& readable);
    bool moveAside(CFile& in, int64_t from);
    // Cuts the store file back to its last whole record (m_wholeEnd).
    bool cutTail();
    void readDone(std::vector<int64_t>& offsets);
    bool noteGone(const std::vector<int64_t>& refs);
    // The .done companion, open for appending: a torn last entry is cut at opening, and room
    // for further entries is kept set aside.
    bool openNotes();
    void reserveNotes();
    bool appendNotes(const std::string& entries);
    void report(const char* what, bool failed);
    Entry* find(int64_t ref);
    Entry* findOffset(int64_t offset);
    uint32_t nameId(const char* name);
    // A failed flush of the records after `from` up to `through`: those not acknowledged go.
    void dropUnsynced(uint64_t from, uint64_t through);
    bool compactLocked(std::unique_lock<std::recursive_mutex>& lock);
    void writerLoop();
    void syncLoop();
    // Writes name into the name field of the records at these index positions, in the file, and
    // flushes it to disk.
    bool renameInPlace(const std::vector<uint32_t>& positions, const char* name);
    // Closes the append file; the directory entry of a new store file still needs a flush.
    void closeAppend();
    // Flushes the store file (and its directory entry when new) to disk; the lock is held.
    bool syncFileLocked();

    long readBytes(char* dst, size_t n);

    std::string m_path;
    std::string m_companion;
    std::string m_damaged;
    std::string m_done;
    CFile m_append;
    bool m_appendCreated = false;
    bool m_directoryDirty = false;  // a new store file whose directory entry is not flushed yet
    bool m_needsRepair = false;     // the store could not be read at start: read again first
    int64_t m_wholeEnd = 0;
    bool m_badLength = false;
    bool m_cutPending = false;  // a failed append left bytes behind m_wholeEnd
    CFile m_notes;
    int64_t m_notesSize = 0;
    int64_t m_notesReserved = 0;  // room set aside up to here
    bool m_notesFailing = false;

    std::vector<Entry> m_index;  // file order
    // Each recipient once, with the positions of its records in the index (in order; positions
    // of gone records stay until the next rewrite).
    std::unordered_map<std::string, uint32_t> m_nameIds;
    std::vector<std::string> m_names;
    std::vector<std::vector<uint32_t>> m_byName;
    bool m_doneDirty = false;  // .done entries written but not yet flushed to disk
    size_t m_gone = 0;
    int64_t m_goneBytes = 0;  // what the gone records take in the file
    size_t m_inFlight = 0;    // deliveries on their way
    uint64_t m_identity = 0;  // of the store file the index describes
    uint64_t m_generation = 0;
    CFile m_reader;

    std::recursive_mutex m_mutex;
    std::condition_variable_any m_wake;
    std::thread m_writer;
    bool m_stopping = false;
    std::atomic<bool> m_hurry{false};  // stopping: a rewrite under way goes on without pauses

    // Tickets: the number of the last record appended (records read at start count as on disk);
    // what was asked to be synced and what a sync covered.
    uint64_t m_appended = 0;
    uint64_t m_syncWanted = 0;
    uint64_t m_synced = 0;
    std::vector<SyncOutcome> m_outcomes;
    std::function<void()> m_syncListener;
    std::condition_variable_any m_syncWake;
    std::thread m_syncer;

    CFile m_in;
    size_t m_inPos = 0;
    size_t m_inEnd = 0;
    char m_inBuffer[IO_BUFFER_SIZE];
    char m_record[RECORD_HEADER_SIZE + MAX_STORED_PAYLOAD];
};

}  // namespace tovi
