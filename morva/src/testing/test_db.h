// Test helpers over a real database in a temporary folder: a configuration
// with small journals and an injectable processor count, running chosen
// messages through the worker loop on the test thread, reading the batches
// of the active journal back from a copy, and counting journal files.
// Test-only; not thread-safe.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/journal/reader.h"
#include "morva/src/lock.h"
#include "morva/src/worker.h"
#include "platform/fs.h"
#include "platform/panic.h"
#include "platform/testing/temp_dir.h"

namespace morva::testing {

// A configuration for `folder` with journals of 1 MiB and `workers` workers;
// 0 starts none, so that a test can run the worker loop itself.
inline DatabaseConfig small_config(const std::string& folder, size_t workers = 1) {
  DatabaseConfig c(folder, 4);
  c.worker_threads = workers;
  c.journal_preallocated_size = 1 << 20;
  c.journal_rotation_threshold = 900'000;
  c.cache = tervik::BlockCache::with_shards(8 << 20, 2);
  return c;
}

// Every keyspace the database creates seals its memtables at `limit` bytes.
inline void with_memtable_limit(DatabaseConfig& c, uint64_t limit) {
  c.hooks.keyspace_options = [limit](std::string_view) {
    KeyspaceCreateOptions o;
    o.max_memtable_size = limit;
    return std::optional<KeyspaceCreateOptions>(o);
  };
}

// Memtables of 3,000 bytes and journals rotated past 12 KiB: flushes,
// rotations, compactions and journal deletions run all the time.
inline DatabaseConfig busy_config(const std::string& folder, size_t workers) {
  DatabaseConfig c = small_config(folder, workers);
  with_memtable_limit(c, 3000);
  c.journal_preallocated_size = 32 << 10;
  c.journal_rotation_threshold = 12 << 10;
  return c;
}

inline Database create_db(DatabaseConfig config) {
  auto db = Database::create_new(std::move(config));
  if (!db.ok()) zv::panic("create database: " + db.error().to_string());
  return std::move(db).value();
}

inline Keyspace open_keyspace(const Database& db, std::string_view name) {
  auto ks = db.keyspace(name);
  if (!ks.ok()) zv::panic("open keyspace: " + ks.error().to_string());
  return std::move(ks).value();
}

// Runs `messages`, then Close, through the worker loop on this thread, as
// worker `index` of a pool of `thread_count`, with `running` workers counted
// as alive. The database must have been created with 0 workers.
inline MorvaStatus run_messages(const Database& db, std::vector<WorkerMessage> messages, size_t index = 0,
                                size_t thread_count = 1, uint64_t running = 1) {
  DatabaseState& s = *db.state();
  WorkerSender tx = s.pool.sender();
  for (auto& m : messages) EXPECT_TRUE(tx.try_send(std::move(m)));
  EXPECT_TRUE(tx.try_send(WorkerMessage::close()));
  s.running->store(running);
  WorkerThread t{s.running, s.pool.receiver(), tx, s.bookkeeping, thread_count, index,
                 PoisonGuard(s.poisoned)};
  MorvaStatus st = run_worker(t, s.ctx, s.poisoned);
  s.running->store(0);
  return st;
}

// The batches of the active journal, read from a copy (the live file is
// left alone).
inline std::vector<JournalBatch> journal_batches(const Database& db) {
  auto path = db.state()->ctx->journal->active_path();
  EXPECT_TRUE(path.ok());
  EXPECT_TRUE(db.state()->ctx->journal->persist(PersistMode::kBuffer).ok());
  const std::string copy = *path + ".copy";
  EXPECT_TRUE(zv::fs::write_file(copy, *zv::fs::read_file(*path)).ok());
  auto reader = JournalReader::open(zv::FileSystem::os(), copy);
  EXPECT_TRUE(reader.ok());
  JournalBatchReader batches(std::move(reader).value(), JournalBatchReader::Mode::kActive);
  std::vector<JournalBatch> out;
  for (;;) {
    auto b = batches.next();
    EXPECT_TRUE(b.ok());
    if (!b.ok() || !b->has_value()) break;
    out.push_back(std::move(**b));
  }
  (void)zv::fs::remove_file(copy);
  return out;
}

inline size_t journal_file_count(const std::string& folder) {
  size_t n = 0;
  const auto names = zv::fs::list_dir(folder);
  for (const std::string& name : *names) n += name.ends_with(".jnl");
  return n;
}

// Seals the active journal and continues in the next file, as the worker
// loop's rotation does (watermarks from the memtables).
inline void rotate_journal_now(const Database& db) {
  WorkerContext& ctx = *db.state()->ctx;
  auto writer = ctx.journal->lock();
  ASSERT_TRUE(writer.ok());
  auto manager_guard = write_unpoisoned(ctx.journal_manager->lock);
  std::vector<JournalWatermark> watermarks;
  {
    auto map_guard = read_unpoisoned(ctx.keyspaces->lock);
    for (const auto& [name, keyspace] : ctx.keyspaces->map) {
      if (auto seqno = keyspace.tree().index().get_highest_memtable_seqno()) {
        watermarks.push_back(JournalWatermark{keyspace.inner(), *seqno});
      }
    }
  }
  ASSERT_TRUE(rotate_journal(**writer, ctx.journal_manager->manager, std::move(watermarks)).ok());
}

// Seals the keyspace's active memtable (nothing queued) and returns it.
inline void seal(const Keyspace& ks) { (void)ks.tree().index().rotate_memtable(); }

}  // namespace morva::testing
