// EmbeddedDb: the SDK handle through which every operation reaches an open
// database. It holds its own copy of the configuration, the engine slot (a
// reader-writer lock around the shared engine, emptied by close), the
// supersede lock and the optional audit log. Copying a handle (clone) shares
// the slot, the lock and the log, so closing through any copy closes the
// database for all of them; an operation that took the engine before a close
// runs to its end on the still-open engine, which goes when its last
// reference does. Thread-safe: each thread works on its own copy.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/memory_input.h"
#include "src/record/memory_record.h"
#include "src/runtime/config.h"
#include "src/sdk/audit_log.h"
#include "src/sdk/audit_record.h"
#include "src/sdk/list_options.h"
#include "src/search/search_hit.h"
#include "src/storage/engine_open.h"
#include "src/storage/storage_engine.h"

namespace zv {

struct SearchRequest;

// The field and reason of the refusal of a write on a read-only handle.
inline constexpr std::string_view kReadOnlyHandleField = "read_only";
inline constexpr std::string_view kReadOnlyHandleReason =
    "this operation is not available when ZivirOR is opened read-only";

// What a handle offers: three fixed features and its read-only flag.
struct Capabilities {
  bool persistence = true;
  bool vector_search = true;
  bool vov_queries = true;
  bool read_only = false;
};

class EmbeddedDb {
 public:
  // Opens the engine at config.storage_path, then the audit log (a failure
  // only disables it, with a warning), then, unless read-only, checks the
  // derived, text and sparse indexes against the stored records and
  // rebuilds stale ones. An error of the engine open or of the check fails
  // the open; after a failed check the engine and the audit file are
  // released before the call returns. The first open of the process fixes
  // the process-wide prefetch mode. The seams replace the backend factory
  // table (tests; the key-value engine's entry fails until it exists).
  static ZolvaResult<EmbeddedDb> open_with_config(Config config,
                                                  const EngineOpenSeams& seams = {});

  EmbeddedDb(const EmbeddedDb&) = default;
  EmbeddedDb& operator=(const EmbeddedDb&) = default;
  EmbeddedDb(EmbeddedDb&&) = default;
  EmbeddedDb& operator=(EmbeddedDb&&) = default;

  // A copy sharing the slot, the supersede lock and the audit log.
  EmbeddedDb clone() const { return *this; }

  const Config& config() const { return config_; }
  // Reads only the configuration: never fails, the same once closed.
  Capabilities capabilities() const { return Capabilities{true, true, true, config_.read_only}; }

  // A new reference to the open engine, or NotInitialized once closed.
  ZolvaResult<std::shared_ptr<StorageEngine>> engine() const;
  // The read-only refusal (Validation on "read_only") for a read-only handle.
  ZolvaStatus ensure_writable() const;
  // The engine's checkpoint; refused when read-only, NotInitialized when
  // closed.
  ZolvaStatus flush() const;
  // Flushes (a failure only warns "flush failed: ..."), then empties the
  // slot. Never fails; a second close succeeds as well.
  ZolvaStatus close() const;

  // Records, defined in memory.cc. get reads the current record of a
  // namespace and key (none when nothing is stored, the record has expired
  // or the node holds no memory record; NodeIdCollision when the id holds
  // another namespace's or key's record); it needs no write permission.
  // del removes the record with its index entries and version history:
  // true when a record was deleted, false when none was found. put stores a
  // new record (version 1) or the next version of the stored one and
  // returns what it stored. Writers of one record serialise on its write
  // stripe.
  ZolvaResult<std::optional<MemoryRecord>> get(std::string_view ns, std::string_view key) const;
  ZolvaResult<bool> del(std::string_view ns, std::string_view key) const;
  ZolvaResult<MemoryRecord> put(MemoryInput input) const;
  // Stores many records, chunk by chunk, each by the rules of put, and
  // returns them in input order as stored (defined in put_batch.cc).
  ZolvaResult<std::vector<MemoryRecord>> put_batch(std::vector<MemoryInput> inputs) const;

  // Searches, defined by the search library (which links this one): the
  // hits of one search with the given index method byte (the continuation
  // cursor is dropped), and one request over several namespaces merged by
  // score.
  ZolvaResult<std::vector<SearchHit>> search(SearchRequest req, uint8_t method) const;
  ZolvaResult<std::vector<SearchHit>> search_multi(const std::vector<std::string>& namespaces,
                                                   SearchRequest req) const;

  // Many records at once (namespaces.cc). One page of a namespace's records
  // under filters, lifecycle switches and a positional cursor; the number of
  // live, unexpired records matching the items (quarantined and superseded
  // included); the distinct namespaces in byte order; and the deletion,
  // through del one record at a time, of every record matching a non-empty
  // item list, returning how many records were deleted.
  ZolvaResult<ZolvaListResult> list(std::string_view ns, const MemoryListOptions& options) const;
  ZolvaResult<uint64_t> count(std::string_view ns,
                              const std::optional<std::vector<MemoryFilterItem>>& items) const;
  ZolvaResult<std::vector<std::string>> list_namespaces() const;
  ZolvaResult<uint64_t> delete_by_filter(std::string_view ns,
                                         const std::vector<MemoryFilterItem>& items) const;

  // Appends the record to the audit log when there is one; a failure only
  // warns.
  void record_audit(const AuditRecord& record) const;
  AuditLog* audit_log() const { return audit_log_.get(); }

  // Taken only by supersede.
  std::mutex& supersede_lock() const { return *supersede_lock_; }

 private:
  // The slot holding the engine from open until close.
  struct EngineSlot {
    mutable std::shared_mutex mu;
    std::shared_ptr<StorageEngine> engine;  // guarded by mu
  };

  EmbeddedDb(Config config, std::shared_ptr<EngineSlot> slot,
             std::shared_ptr<std::mutex> supersede_lock, std::shared_ptr<AuditLog> audit_log);

  Config config_;
  std::shared_ptr<EngineSlot> slot_;
  std::shared_ptr<std::mutex> supersede_lock_;
  std::shared_ptr<AuditLog> audit_log_;  // may be null
};

}  // namespace zv
