// Database: the handle of one open key-value engine database (cheap to copy,
// one shared pointer to DatabaseState). DatabaseState holds everything the
// open database owns: its configuration, the meta keyspace and the keyspace
// map, the worker context, the worker pool with its counters, and the lock
// file. Creation lays out a fresh folder ("lock", "keyspaces/0", "0.jnl",
// "version"); the drop of the state stops and joins every worker before
// releasing anything. Thread-safe.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "morva/src/batch.h"
#include "morva/src/db_config.h"
#include "morva/src/error.h"
#include "morva/src/keyspace.h"
#include "morva/src/locked_file.h"
#include "morva/src/meta_keyspace.h"
#include "morva/src/tree_meta_tree.h"
#include "morva/src/worker_context.h"
#include "morva/src/worker_pool.h"
#include "tervik/tree/tree.h"

namespace morva {

inline constexpr const char* kKeyspacesFolderName = "keyspaces";
inline constexpr const char* kFirstJournalName = "0.jnl";
inline constexpr const char* kFlushFailedMessage =
    "flush failed, which is a FATAL, and possibly hardware-related, failure: ";

// The meta keyspace tree's settings over `folder`.
tervik::TreeConfig meta_tree_config(const DatabaseConfig& config, const std::string& folder,
                                    tervik::SeqNoCounter seqno, tervik::SeqNoCounter visible);

struct DatabaseState {
  DatabaseState(DatabaseConfig config, tervik::SeqNoCounter seqno, tervik::SeqNoCounter visible,
                tervik::Tree meta_tree, std::shared_ptr<Journal> journal, std::shared_ptr<LockedFile> lock);
  // Drains the worker channel, sends Close until no worker runs, joins every
  // worker thread, empties the flush queue, the keyspace map and the sealed
  // journal list, then releases the members.
  ~DatabaseState();
  DatabaseState(const DatabaseState&) = delete;
  DatabaseState& operator=(const DatabaseState&) = delete;

  // Declared first so that it is released last: the folder stays locked
  // until every other member (the journal among them) is gone.
  std::shared_ptr<LockedFile> lock_file;
  const DatabaseConfig config;
  std::shared_ptr<KeyspaceMap> keyspaces;
  tervik::SeqNoCounter seqno;
  tervik::SeqNoCounter visible_seqno;
  std::shared_ptr<TreeMetaTree> meta_tree;
  MetaKeyspace meta;
  std::shared_ptr<WorkerContext> ctx;
  std::shared_ptr<std::atomic<uint64_t>> running;
  std::shared_ptr<std::atomic<bool>> poisoned;
  std::shared_ptr<WorkerBookkeeping> bookkeeping;
  tervik::SeqNoCounter keyspace_ids{1};
  WorkerPool pool;

  // Starts the workers (their body is the worker loop).
  MorvaStatus start_workers(WorkerPool::ThreadFactory threads = WorkerPool::os_threads());
};

class Database {
 public:
  // Opens the database in the folder: creates it when the folder has no
  // "version" marker, recovers it otherwise.
  static MorvaResult<Database> open(DatabaseConfig config);
  static MorvaResult<Database> create_or_recover(DatabaseConfig config);
  // Creates a fresh database in the folder.
  static MorvaResult<Database> create_new(DatabaseConfig config);
  // Opens a folder that holds a database: checks the format marker, takes
  // the lock, reopens the keyspaces, replays the journals, restores the
  // counters, queues the pending flushes and compactions and starts the
  // workers. Every write acknowledged before comes back.
  static MorvaResult<Database> recover(DatabaseConfig config);

  // The keyspace registered under `name`, created first when there is none.
  MorvaResult<Keyspace> keyspace(std::string_view name) const;
  // An empty batch of this database.
  Batch batch() const { return Batch(state_); }
  // Forces the journal to the given level; a failure poisons the database.
  MorvaStatus persist(PersistMode mode) const;

  bool is_poisoned() const { return state_->poisoned->load(); }
  tervik::SeqNo seqno() const { return state_->seqno.get(); }
  tervik::SeqNo visible_seqno() const { return state_->visible_seqno.get(); }
  uint64_t write_buffer_size() const { return state_->ctx->write_buffer_size->load(); }
  const std::shared_ptr<DatabaseState>& state() const { return state_; }

 private:
  explicit Database(std::shared_ptr<DatabaseState> state) : state_(std::move(state)) {}

  std::shared_ptr<DatabaseState> state_;
};

}  // namespace morva
