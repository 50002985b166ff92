#include "morva/src/db.h"

#include <chrono>
#include <thread>

#include "morva/src/lock.h"
#include "morva/src/version_marker.h"
#include "morva/src/worker.h"
#include "platform/fs.h"
#include "platform/fs_durable.h"
#include "platform/log.h"

namespace morva {
namespace {

using zv::log::Level;
constexpr const char* kLogTarget = "morva::db";

void step_done(const DatabaseConfig& config, int step) {
  if (config.hooks.after_creation_step) config.hooks.after_creation_step(step);
}

// A "0.jnl" that a stopped creation left behind and that may be replaced:
// it holds no entry (empty, or its first byte is 0), no other journal file
// exists and "keyspaces" holds no folder but "0".
bool is_unused_first_journal(zv::FileSystem& fs, const std::string& folder) {
  auto entries = zv::fs::list_dir(folder);
  if (!entries.ok()) return false;
  for (const std::string& name : *entries) {
    if (name != kFirstJournalName && name.size() > 4 && name.ends_with(kJournalExtension)) return false;
  }
  if (auto keyspaces = zv::fs::list_dir(zv::fs::join(folder, kKeyspacesFolderName)); keyspaces.ok()) {
    for (const std::string& name : *keyspaces) {
      if (name != "0") return false;
    }
  }
  auto file = fs.open(zv::fs::join(folder, kFirstJournalName), zv::FsOpenMode::kRead);
  if (!file.ok()) return false;
  char first = 0;
  auto n = (*file)->read_at(&first, 1, 0);
  return n.ok() && (*n == 0 || first == 0);
}

MorvaResult<std::shared_ptr<Journal>> create_first_journal(const DatabaseConfig& config) {
  const std::string path = zv::fs::join(config.path, kFirstJournalName);
  ZV_LOG(Level::kTrace, kLogTarget, "Creating new journal at " + path);
  if (auto st = zv::fs::create_dir_all(config.path); !st.ok()) {
    ZV_ERROR(kLogTarget, "Failed to create journal folder at " + path + ": " + st.error().to_string());
    return zv::make_unexpected(std::move(st).error());
  }
  zv::FileSystem& fs = *config.journal_fs;
  if (fs.exists(path) && is_unused_first_journal(fs, config.path)) {
    ZV_WARN(kLogTarget, "Replacing the empty journal an unfinished creation left at " + path);
    ZV_TRY(fs.remove_file(path));
  }
  ZV_ASSIGN_OR_RETURN(JournalWriter writer, JournalWriter::create(fs, path, config.journal_preallocated_size));
  auto journal = std::make_shared<Journal>(fs, std::move(writer));
  journal->with_compression(config.journal_compression, config.journal_compression_threshold);
  return journal;
}

}  // namespace

tervik::TreeConfig meta_tree_config(const DatabaseConfig& config, const std::string& folder,
                                    tervik::SeqNoCounter seqno, tervik::SeqNoCounter visible) {
  using tervik::FilterPolicyEntry;
  return tervik::TreeConfig::create(folder, std::move(seqno), std::move(visible))
      .use_cache(config.cache)
      .use_descriptor_table(config.descriptor_cache)
      .with_data_block_size_policy(tervik::BlockSizePolicy{4096})
      .with_data_block_hash_ratio_policy(tervik::HashRatioPolicy{8.0f})
      .with_data_block_compression_policy(tervik::CompressionPolicy{tervik::CompressionType::kNone})
      .with_data_block_restart_interval_policy(tervik::RestartIntervalPolicy{1})
      .with_index_block_compression_policy(tervik::CompressionPolicy{tervik::CompressionType::kNone})
      .with_filter_policy(tervik::FilterPolicy::of(FilterPolicyEntry::false_positive_rate(0.0001f),
                                                   FilterPolicyEntry::false_positive_rate(0.01f)));
}

DatabaseState::DatabaseState(DatabaseConfig cfg, tervik::SeqNoCounter seqno_counter,
                             tervik::SeqNoCounter visible, tervik::Tree tree, std::shared_ptr<Journal> journal,
                             std::shared_ptr<LockedFile> lock)
    : lock_file(std::move(lock)),
      config(std::move(cfg)),
      keyspaces(std::make_shared<KeyspaceMap>()),
      seqno(std::move(seqno_counter)),
      visible_seqno(std::move(visible)),
      meta_tree(std::make_shared<TreeMetaTree>(std::move(tree))),
      meta(meta_tree),
      running(std::make_shared<std::atomic<uint64_t>>(0)),
      poisoned(std::make_shared<std::atomic<bool>>(false)),
      bookkeeping(std::make_shared<WorkerBookkeeping>()) {
  auto [flush_tx, flush_rx] = make_flush_queue();
  ctx = std::make_shared<WorkerContext>(WorkerContext{
      config, keyspaces, std::move(flush_tx), std::move(flush_rx), std::make_shared<std::atomic<uint64_t>>(0),
      seqno, visible_seqno, SnapshotTracker::create(visible_seqno), std::move(journal),
      std::make_shared<JournalManagerCell>(*config.journal_fs)});
}

MorvaStatus DatabaseState::start_workers(WorkerPool::ThreadFactory threads) {
  auto body = [ctx = ctx, poisoned = poisoned](WorkerThread& t) { (void)run_worker(t, ctx, poisoned); };
  return pool.start(config.worker_threads, std::move(body), running, bookkeeping, poisoned, std::move(threads));
}

DatabaseState::~DatabaseState() {
  ZV_LOG(Level::kDebug, kLogTarget, "Dropping database");
  WorkerReceiver rx = pool.receiver();
  WorkerSender tx = pool.sender();
  while (rx.try_recv()) {
  }
  while (running->load() != 0) {
    // Never wait for room: the surplus Close messages of this loop can fill
    // the channel once the workers that took theirs are gone, and this drop
    // holds a receiver itself, so a blocking send would wait for ever.
    // Whatever is queued now is only for workers that are ending anyway.
    if (!tx.try_send(WorkerMessage::close())) (void)rx.try_recv();
    std::this_thread::sleep_for(std::chrono::microseconds(10));
  }
  // A worker has counted itself out before its thread ends; nothing the
  // workers hold (the journal among it) may outlive this drop unseen.
  pool.join();
  while (rx.try_recv()) {
  }
  while (ctx->flush_rx.try_recv()) {
  }
  {
    auto guard = write_unpoisoned(keyspaces->lock);
    keyspaces->map.clear();
  }
  {
    auto guard = write_unpoisoned(ctx->journal_manager->lock);
    ctx->journal_manager->manager.clear();
  }
}

MorvaResult<Database> Database::open(DatabaseConfig config) {
  ZV_LOG(Level::kDebug, kLogTarget,
         "cache capacity=" + std::to_string(config.cache->capacity() >> 20) + "MiB");
  return create_or_recover(std::move(config));
}

MorvaResult<Database> Database::create_or_recover(DatabaseConfig config) {
  const std::string marker = zv::fs::join(config.path, kVersionFileName);
  if (config.journal_fs->exists(marker)) return recover(std::move(config));
  return create_new(std::move(config));
}

MorvaResult<Database> Database::create_new(DatabaseConfig config) {
  ZV_LOG(Level::kInfo, kLogTarget, "Creating database at " + config.path);
  ZV_TRY(zv::fs::create_dir_all_durably(config.path));
  step_done(config, 2);
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<LockedFile> lock,
                      LockedFile::create_new(zv::fs::join(config.path, kLockFileName)));
  step_done(config, 3);
  ZV_TRY(zv::fs::create_dir_all_durably(zv::fs::join(config.path, kKeyspacesFolderName)));
  step_done(config, 4);
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<Journal> journal, create_first_journal(config));
  step_done(config, 5);
  ZV_TRY(write_version_marker_file(*config.journal_fs, config.path));
  step_done(config, 6);
  tervik::SeqNoCounter seqno(0);
  tervik::SeqNoCounter visible(0);
  const std::string meta_folder = zv::fs::join(zv::fs::join(config.path, kKeyspacesFolderName), "0");
  ZV_ASSIGN_OR_RETURN(tervik::Tree meta_tree, tervik::Tree::open(meta_tree_config(config, meta_folder, seqno, visible)));
  step_done(config, 8);
  auto state = std::make_shared<DatabaseState>(std::move(config), seqno, visible, std::move(meta_tree),
                                               std::move(journal), std::move(lock));
  ZV_TRY(state->start_workers());
  return Database(std::move(state));
}

MorvaResult<Keyspace> Database::keyspace(std::string_view name) const {
  DatabaseState& db = *state_;
  {
    auto guard = read_unpoisoned(db.keyspaces->lock);
    if (auto it = db.keyspaces->map.find(name); it != db.keyspaces->map.end()) return it->second;
  }
  // The meta keyspace's ingestion draws a sequence number and raises the
  // visible one past it. Writers take theirs under the journal writer lock
  // and raise the visible number only once all of a batch is in place; taken
  // here, before the map lock as the writers do, the lock keeps that raise
  // from exposing half of a batch still being applied.
  ZV_ASSIGN_OR_RETURN(Journal::Locked journal, db.ctx->journal->lock());
  auto guard = write_unpoisoned(db.keyspaces->lock);
  if (auto it = db.keyspaces->map.find(name); it != db.keyspaces->map.end()) return it->second;
  // An id taken here stays used even when the creation fails.
  const uint64_t id = db.keyspace_ids.next();
  std::optional<KeyspaceCreateOptions> chosen;
  if (db.config.hooks.keyspace_options) chosen = db.config.hooks.keyspace_options(name);
  KeyspaceCreateOptions options = chosen ? std::move(*chosen) : KeyspaceCreateOptions();
  if (db.config.hooks.keyspace_creation) ZV_TRY(db.config.hooks.keyspace_creation(id));
  ZV_ASSIGN_OR_RETURN(Keyspace keyspace, Keyspace::create_new(id, db, std::string(name), options));
  ZV_TRY(db.meta.create_keyspace(id, name, options,
                                 [&] { db.keyspaces->map.emplace(std::string(name), keyspace); }));
  return keyspace;
}

MorvaStatus Database::persist(PersistMode mode) const {
  if (state_->poisoned->load()) return zv::make_unexpected(MorvaError::poisoned());
  if (auto st = state_->ctx->journal->persist(mode); !st.ok()) {
    ZV_ERROR(kLogTarget, kFlushFailedMessage + st.error().debug_string());
    state_->poisoned->store(true);
    return st;
  }
  return {};
}

}  // namespace morva
