// Database::recover: the open of a folder that already holds a database.
#include <vector>

#include "morva/src/db.h"
#include "morva/src/journal/discovery.h"
#include "morva/src/journal/replay.h"
#include "morva/src/keyspace_recovery.h"
#include "morva/src/lock.h"
#include "morva/src/version_marker.h"
#include "platform/fs.h"
#include "platform/log.h"

namespace morva {
namespace {

using zv::log::Level;
constexpr const char* kLogTarget = "morva::db";

// Work found waiting in the trees: sent once the workers run, so that no
// send can wait on a full channel nobody empties.
struct PendingWork {
  std::vector<Keyspace> flush;
  std::vector<Keyspace> compact;
};

MorvaStatus check_active_memtables_empty(const DatabaseState& db) {
  for (const auto& [name, keyspace] : db.keyspaces->map) {
    if (keyspace.tree().index().active_memtable()->size() != 0) {
      ZV_ERROR(kLogTarget, "Active memtable is not empty after recovery for keyspace " + name + " - recovery failed");
      return zv::make_unexpected(MorvaError::unrecoverable());
    }
  }
  return {};
}

// Raises the sequence-number counter above every number any tree holds (the
// meta keyspace's included), whether or not a journal was replayed: new
// writes must never be numbered below stored ones.
void restore_counters(const DatabaseState& db) {
  for (const auto& [name, keyspace] : db.keyspaces->map) {
    const tervik::Tree& tree = keyspace.tree().index();
    const std::shared_ptr<tervik::Memtable> active = tree.active_memtable();
    const uint64_t size = active->size();
    ZV_LOG(Level::kTrace, kLogTarget,
           "Recovered active memtable of size " + std::to_string(size) + "B for keyspace " + name + " (" +
               std::to_string(active->len()) + " items)");
    db.ctx->write_buffer_size->fetch_add(size);
    if (auto highest = tree.get_highest_seqno()) db.seqno.raise_to(*highest + 1);
    ZV_LOG(Level::kDebug, kLogTarget, "Database seqno is now " + std::to_string(db.seqno.get()));
  }
  if (auto highest = db.meta_tree->tree().get_highest_seqno()) db.seqno.raise_to(*highest + 1);
  db.visible_seqno.raise_to(db.seqno.get());
}

PendingWork collect_pending_work(const DatabaseState& db) {
  PendingWork work;
  auto guard = read_unpoisoned(db.keyspaces->lock);
  for (const auto& [name, keyspace] : db.keyspaces->map) {
    const tervik::Tree& tree = keyspace.tree().index();
    if (tree.sealed_memtable_count() > 0) {
      ZV_LOG(Level::kDebug, kLogTarget, "Queuing keyspace " + name + " to get flushed because sealed memtables > 0");
      work.flush.push_back(keyspace);
    } else if (tree.l0_run_count() > 0) {
      ZV_LOG(Level::kDebug, kLogTarget, "Queuing keyspace " + name + " to maybe get compacted because L0 runs > 0");
      work.compact.push_back(keyspace);
    }
  }
  return work;
}

void send_pending_work(DatabaseState& db, PendingWork work) {
  WorkerSender tx = db.pool.sender();
  for (Keyspace& keyspace : work.flush) {
    // A closed channel means the database is going away: nothing to do.
    if (!db.ctx->flush_tx.send(std::make_shared<FlushTask>(FlushTask{keyspace.inner()}))) continue;
    (void)tx.send(WorkerMessage::flush());
  }
  for (Keyspace& keyspace : work.compact) (void)tx.send(WorkerMessage::compact(keyspace.inner()));
}

}  // namespace

MorvaResult<Database> Database::recover(DatabaseConfig config) {
  ZV_LOG(Level::kInfo, kLogTarget, "Recovering database at " + config.path);
  ZV_TRY(read_version_marker(*config.journal_fs, config.path));
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<LockedFile> lock, LockedFile::open(zv::fs::join(config.path, kLockFileName)));
  ZV_ASSIGN_OR_RETURN(RecoveryResult journals, discover_journals(config));
  ZV_LOG(Level::kDebug, kLogTarget, "journal recovery result: " + journals.debug_string());
  {
    ZV_ASSIGN_OR_RETURN(Journal::Locked writer, journals.active->lock());
    ZV_TRY(writer->persist(PersistMode::kSyncAll));
  }
  tervik::SeqNoCounter seqno(0);
  tervik::SeqNoCounter visible(0);
  const std::string meta_folder = zv::fs::join(zv::fs::join(config.path, kKeyspacesFolderName), "0");
  ZV_ASSIGN_OR_RETURN(tervik::Tree meta_tree,
                      tervik::Tree::open(meta_tree_config(config, meta_folder, seqno, visible)));
  auto state = std::make_shared<DatabaseState>(std::move(config), seqno, visible, std::move(meta_tree),
                                               journals.active, std::move(lock));
  DatabaseState& db = *state;
  ZV_TRY(recover_keyspaces(db));
  ZV_TRY(recover_sealed_journals(db, journals.sealed));
  {
    auto guard = read_unpoisoned(db.keyspaces->lock);
    ZV_TRY(check_active_memtables_empty(db));
    if (!journals.was_active_created) {
      ZV_TRY(recover_active_journal(db));
      // Writes go on after the last whole batch, where the replay cut the file.
      ZV_ASSIGN_OR_RETURN(Journal::Locked writer, db.ctx->journal->lock());
      ZV_TRY(writer->move_to_end());
    }
    restore_counters(db);
  }
  db.ctx->snapshots->gc();
  PendingWork work = collect_pending_work(db);
  ZV_TRY(db.start_workers());
  send_pending_work(db, std::move(work));
  ZV_LOG(Level::kTrace, kLogTarget, "Database recovery successful");
  return Database(std::move(state));
}

}  // namespace morva
