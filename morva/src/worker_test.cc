#include "morva/src/worker.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "morva/src/flush.h"
#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

using namespace std::chrono_literals;
using testing::create_db;
using testing::journal_file_count;
using testing::open_keyspace;
using testing::run_messages;
using testing::seal;
using testing::small_config;

std::shared_ptr<FlushTask> task(const Keyspace& ks) { return std::make_shared<FlushTask>(FlushTask{ks.inner()}); }

// The messages left in the worker channel, as display texts.
std::vector<std::string> drain(const Database& db) {
  std::vector<std::string> out;
  WorkerReceiver rx = db.state()->pool.receiver();
  while (auto m = rx.try_recv()) out.push_back(m->to_string());
  return out;
}

uint64_t journal_position(const Database& db) {
  auto w = db.state()->ctx->journal->lock();
  EXPECT_TRUE((*w)->flush_buffer().ok());
  return (*w)->position();
}

struct Worker : ::testing::Test {
  zv::testing::TempDir dir;
  int folders = 0;
  std::string next_folder() { return zv::fs::join(dir.path(), "db" + std::to_string(folders++)); }
  DatabaseConfig config(uint64_t rotation_threshold) {
    DatabaseConfig c = small_config(next_folder(), 0);
    c.journal_rotation_threshold = rotation_threshold;
    return c;
  }
};

TEST_F(Worker, FlushWithAnEmptyQueueDoesNothing) {
  Database db = create_db(config(0));
  Keyspace ks = open_keyspace(db, "a");
  ASSERT_TRUE(ks.insert("k", "v").ok());
  ASSERT_TRUE(run_messages(db, {WorkerMessage::flush()}).ok());
  EXPECT_EQ(journal_file_count(db.state()->config.path), 1u);
}

TEST_F(Worker, JournalRotatesOnlyPastTheThreshold) {
  uint64_t position = 0;
  {
    Database db = create_db(config(UINT64_MAX));
    ASSERT_TRUE(open_keyspace(db, "a").insert("k", "v").ok());
    position = journal_position(db);
  }
  for (uint64_t threshold : {position, position - 1}) {
    Database db = create_db(config(threshold));
    Keyspace ks = open_keyspace(db, "a");
    ASSERT_TRUE(ks.insert("k", "v").ok());
    ASSERT_TRUE(db.state()->ctx->flush_tx.try_send(task(ks)));
    ASSERT_TRUE(run_messages(db, {WorkerMessage::flush()}).ok());
    EXPECT_EQ(journal_file_count(db.state()->config.path), threshold == position ? 1u : 2u) << threshold;
  }
}

TEST_F(Worker, RealRotationThresholdOf64MillionBytes) {
  DatabaseConfig c = config(kJournalRotationThreshold);
  c.journal_preallocated_size = kJournalPreallocatedSize;
  c.journal_compression = tervik::CompressionType::kNone;
  // Measure the overhead of one entry, then write entries ending exactly at
  // the threshold and one byte past it.
  uint64_t overhead = 0;
  {
    DatabaseConfig m = c;
    m.path = next_folder();
    Database db = create_db(std::move(m));
    const uint64_t start = journal_position(db);
    ASSERT_TRUE(open_keyspace(db, "a").insert("k", std::string(3'000'000, 'v')).ok());
    overhead = journal_position(db) - start - 3'000'000;
  }
  for (uint64_t extra : {0, 1}) {
    DatabaseConfig r = c;
    r.path = next_folder();
    Database db = create_db(std::move(r));
    Keyspace ks = open_keyspace(db, "a");
    const uint64_t start = journal_position(db);
    ASSERT_TRUE(ks.insert("k", std::string(kJournalRotationThreshold - start - overhead + extra, 'v')).ok());
    ASSERT_EQ(journal_position(db), kJournalRotationThreshold + extra);
    ASSERT_TRUE(db.state()->ctx->flush_tx.try_send(task(ks)));
    ASSERT_TRUE(run_messages(db, {WorkerMessage::flush()}).ok());
    EXPECT_EQ(journal_file_count(db.state()->config.path), 1u + extra);
  }
}

TEST_F(Worker, SealedJournalListsKeyspacesWithDataAndGoesOnceTheyFlushed) {
  Database db = create_db(config(0));
  Keyspace a = open_keyspace(db, "a"), b = open_keyspace(db, "b"), c = open_keyspace(db, "c");
  ASSERT_TRUE(a.insert("k", "v").ok());
  ASSERT_TRUE(b.insert("k", "v").ok());
  seal(a);
  ASSERT_TRUE(db.state()->ctx->flush_tx.try_send(task(a)));
  ASSERT_TRUE(run_messages(db, {WorkerMessage::flush()}).ok());
  const JournalManager& manager = db.state()->ctx->journal_manager->manager;
  ASSERT_EQ(manager.sealed_journal_count(), 1u);
  std::vector<std::string> names;
  for (const auto& w : manager.sealed_journals()[0].watermarks) names.push_back(w.keyspace->name());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(journal_file_count(db.state()->config.path), 2u);
  // b flushes: the next maintenance deletes the sealed journal.
  drain(db);
  seal(b);
  ASSERT_TRUE(db.state()->ctx->flush_tx.try_send(task(b)));
  ASSERT_TRUE(run_messages(db, {WorkerMessage::flush()}).ok());
  EXPECT_EQ(manager.sealed_journal_count(), 0u);
  EXPECT_EQ(journal_file_count(db.state()->config.path), 1u);
}

TEST_F(Worker, OverTheSizeLimitOnlyLaggingKeyspacesOfTheOldestJournalRotate) {
  for (uint64_t limit : {uint64_t{1} << 40, uint64_t{1}}) {
    DatabaseConfig cfg = config(0);
    cfg.journal_size_limit = limit;
    Database db = create_db(std::move(cfg));
    Keyspace a = open_keyspace(db, "a"), b = open_keyspace(db, "b");
    ASSERT_TRUE(a.insert("k", "v").ok());
    ASSERT_TRUE(b.insert("k", "v").ok());
    seal(a);
    // First rotation (watermarks a and b), then a flushes past its mark.
    ASSERT_TRUE(db.state()->ctx->flush_tx.try_send(task(a)));
    ASSERT_TRUE(run_messages(db, {WorkerMessage::flush()}).ok());
    drain(db);
    ASSERT_TRUE(a.insert("k2", "v").ok());
    ASSERT_TRUE(db.state()->ctx->flush_tx.try_send(task(a)));
    ASSERT_TRUE(run_messages(db, {WorkerMessage::flush()}).ok());
    std::vector<std::string> rotations;
    for (const std::string& m : drain(db)) {
      if (m.starts_with("WorkerMessage:Rotate")) rotations.push_back(m.substr(0, m.find(',')));
    }
    if (limit > 1) {
      EXPECT_TRUE(rotations.empty());
    } else {
      EXPECT_EQ(rotations, std::vector<std::string>{"WorkerMessage:Rotate(b"});
    }
  }
}

TEST_F(Worker, RotateSealsOnlyTheNamedNonEmptyMemtable) {
  Database db = create_db(config(UINT64_MAX));
  Keyspace ks = open_keyspace(db, "a");
  const uint64_t empty_id = ks.tree().index().active_memtable()->id();
  ASSERT_TRUE(run_messages(db, {WorkerMessage::rotate(empty_id, ks.inner())}).ok());
  EXPECT_TRUE(drain(db).empty());
  ASSERT_TRUE(ks.insert("k", "v").ok());
  const uint64_t id = ks.tree().index().active_memtable()->id();
  ASSERT_TRUE(run_messages(db, {WorkerMessage::rotate(id + 1, ks.inner())}).ok());
  EXPECT_EQ(ks.tree().index().sealed_memtable_count(), 0u);
  ASSERT_TRUE(run_messages(db, {WorkerMessage::rotate(id, ks.inner())}).ok());
  EXPECT_EQ(ks.tree().index().sealed_memtable_count(), 1u);
  EXPECT_EQ(drain(db), std::vector<std::string>{"WorkerMessage:Flush"});
  EXPECT_EQ(db.state()->ctx->flush_rx.len(), 1u);
}

TEST_F(Worker, FullFlushQueueMakesTheWorkerFlushItself) {
  Database db = create_db(config(UINT64_MAX));
  Keyspace a = open_keyspace(db, "a"), b = open_keyspace(db, "b");
  while (db.state()->ctx->flush_tx.try_send(task(b))) {
  }
  ASSERT_TRUE(a.insert("k", "v").ok());
  ASSERT_TRUE(run_messages(db, {WorkerMessage::rotate(a.tree().index().active_memtable()->id(), a.inner())}).ok());
  EXPECT_EQ(a.tree().index().sealed_memtable_count(), 0u);
  EXPECT_EQ(a.tree().index().l0_run_count(), 1u);
}

struct CompactCalls {
  std::atomic<int> calls{0};
  bool fail = false;
  void install(DatabaseConfig& c) {
    c.hooks.compact = [this](const tervik::Tree&, tervik::compaction::StrategyHandle,
                             tervik::SeqNo) -> tervik::TervikStatus {
      ++calls;
      if (fail) return zv::make_unexpected(tervik::TervikError::io(zv::IoError(zv::IoErrorKind::kOther, "injected")));
      return {};
    };
  }
};

TEST_F(Worker, WorkerZeroPassesCompactionsOnWhileOthersRun) {
  CompactCalls compact;
  DatabaseConfig c = config(UINT64_MAX);
  compact.install(c);
  Database db = create_db(std::move(c));
  Keyspace ks = open_keyspace(db, "a");
  ASSERT_TRUE(run_messages(db, {WorkerMessage::compact(ks.inner())}, 0, 4, 4).ok());
  EXPECT_EQ(compact.calls, 0);
  EXPECT_EQ(drain(db), std::vector<std::string>{"WorkerMessage:Compact(a)"});
  // The only worker left, or a pool of one: worker 0 compacts.
  ASSERT_TRUE(run_messages(db, {WorkerMessage::compact(ks.inner())}, 0, 4, 1).ok());
  ASSERT_TRUE(run_messages(db, {WorkerMessage::compact(ks.inner())}, 0, 1, 1).ok());
  EXPECT_EQ(compact.calls, 2);
  EXPECT_EQ(db.state()->bookkeeping->compactions_completed.load(), 2u);
  EXPECT_EQ(db.state()->bookkeeping->compactions_running.load(), 0u);
}

TEST_F(Worker, FailedCompactionPoisonsAndEndsTheWorker) {
  CompactCalls compact;
  compact.fail = true;
  DatabaseConfig c = config(UINT64_MAX);
  compact.install(c);
  Database db = create_db(std::move(c));
  Keyspace ks = open_keyspace(db, "a");
  ASSERT_TRUE(ks.insert("k", "v").ok());
  auto st = run_messages(db, {WorkerMessage::compact(ks.inner()), WorkerMessage::compact(ks.inner())});
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), MorvaErrorKind::kStorage);
  EXPECT_EQ(compact.calls, 1);
  EXPECT_TRUE(db.is_poisoned());
  EXPECT_EQ(db.state()->bookkeeping->compactions_running.load(), 0u);
  EXPECT_EQ(db.state()->bookkeeping->compactions_completed.load(), 0u);
  EXPECT_EQ(ks.get("k").value(), "v");
  EXPECT_EQ(ks.insert("k", "w").error().kind(), MorvaErrorKind::kPoisoned);
}

// One live worker, its channel kept full by a writer that never pauses: a
// sealed memtable still gets flushed, since no worker waits for room.
TEST_F(Worker, FullChannelNeverStopsTheOnlyWorker) {
  std::mutex mu;
  std::condition_variable cv;
  bool released = false;
  DatabaseConfig c = small_config(next_folder(), 1);
  c.hooks.compact = [&](const tervik::Tree&, tervik::compaction::StrategyHandle, tervik::SeqNo) -> tervik::TervikStatus {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return released; });
    return {};
  };
  Database db = create_db(std::move(c));
  Keyspace ks = open_keyspace(db, "a");
  ASSERT_TRUE(ks.insert("k", "v").ok());
  WorkerSender tx = db.state()->pool.sender();
  ASSERT_TRUE(tx.try_send(WorkerMessage::compact(ks.inner())));
  ASSERT_TRUE(tx.try_send(WorkerMessage::rotate(ks.tree().index().active_memtable()->id(), ks.inner())));
  std::atomic<bool> stop{false};
  std::thread filler([&] {
    while (!stop) (void)tx.try_send(WorkerMessage::flush());
  });
  while (db.state()->pool.receiver().len() < kWorkerChannelCapacity) std::this_thread::yield();
  {
    std::lock_guard lock(mu);
    released = true;
  }
  cv.notify_all();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (ks.tree().index().l0_run_count() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  stop = true;
  filler.join();
  EXPECT_EQ(ks.tree().index().l0_run_count(), 1u);
  EXPECT_EQ(ks.tree().index().sealed_memtable_count(), 0u);
  EXPECT_FALSE(db.is_poisoned());
}

}  // namespace
}  // namespace morva
