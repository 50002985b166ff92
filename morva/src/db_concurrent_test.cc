// Single writes and batch commits from several threads with readers beside
// them, while the workers rotate memtables and journals, flush and compact.
// The flushes of one keyspace are held back until it has enough sealed
// memtables to stall its writers, so that the stall is seen to happen. Every
// write is read back at the end. Sized for the thread checker.
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

TEST(DatabaseConcurrent, WritesBatchesReadsAndMaintenance) {
  constexpr int kWriters = 3;
  constexpr int kOps = 3'000;
  zv::testing::TempDir dir;
  // Held flushes each occupy a worker; the others must still seal memtables.
  DatabaseConfig config = testing::small_config(zv::fs::join(dir.path(), "db"), 6);
  config.journal_preallocated_size = 256 << 10;
  config.journal_rotation_threshold = 64 << 10;
  config.journal_size_limit = 1 << 20;
  testing::with_memtable_limit(config, 16 << 10);
  std::atomic<int> flushes{0};
  std::atomic<bool> released{false};
  Keyspace a, b;  // set before any write, so before any flush
  config.hooks.before_flush = [&](std::string_view name) {
    ++flushes;
    if (name != "a") return;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!released) {
      if (a.tree().index().sealed_memtable_count() >= kStallSealedMemtables ||
          std::chrono::steady_clock::now() > give_up) {
        // Long enough for a writer of "a" to sleep through a round.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        released = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  Database db = testing::create_db(std::move(config));
  a = testing::open_keyspace(db, "a");
  b = testing::open_keyspace(db, "b");

  std::atomic<bool> done{false};
  std::vector<std::map<std::string, std::string>> last(kWriters);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int op = 0; op < kOps; ++op) {
        const std::string key = "w" + std::to_string(w) + "-" + std::to_string(op % 300);
        const std::string value = std::to_string(op) + std::string(30, 'v');
        if (op % 10 == 0) {
          ASSERT_TRUE(db.batch().insert(a, key, value).insert(b, key, value).commit().ok());
        } else {
          ASSERT_TRUE(a.insert(key, value).ok());
          ASSERT_TRUE(b.insert(key, value).ok());
        }
        last[w][key] = value;
      }
    });
  }
  threads.emplace_back([&] {
    uint64_t i = 0;
    while (!done) {
      auto v = a.get("w0-" + std::to_string(i++ % 300));
      ASSERT_TRUE(v.ok());
    }
  });
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  done = true;
  threads.back().join();
  EXPECT_FALSE(db.is_poisoned());
  EXPECT_GE(flushes.load(), 2);
  // A writer was held back by the sealed memtables: one round of that stall
  // sleeps 100 ms.
  EXPECT_GE(a.inner()->stall_nanos.load(), 100'000'000u);
  for (int w = 0; w < kWriters; ++w) {
    for (const auto& [key, value] : last[w]) {
      ASSERT_EQ(a.get(key).value(), value);
      ASSERT_EQ(b.get(key).value(), value);
    }
  }
}

// A keyspace creation stores its options by an ingestion into the meta tree,
// which draws the next sequence number and raises the visible one past it.
// A writer holding the journal lock stands here between taking its number
// and raising the visible number, one of its two entries in place: until it
// is done, no reader at the visible number may see that half.
TEST(DatabaseConcurrent, KeyspaceCreationNeverExposesAWriteInProgress) {
  zv::testing::TempDir dir;
  Database db = testing::create_db(testing::small_config(zv::fs::join(dir.path(), "db")));
  Keyspace a = testing::open_keyspace(db, "a");
  DatabaseState& state = *db.state();
  const tervik::Tree& tree = a.tree().index();

  std::optional<Journal::Locked> writer(state.ctx->journal->lock().value());
  const tervik::SeqNo s = state.seqno.next();
  tree.append_entry(tervik::InternalValue::new_value(tervik::Slice("k1"), tervik::Slice("v"), s));

  std::atomic<bool> created{false};
  std::thread creator([&] {
    EXPECT_TRUE(db.keyspace("b").ok());
    created = true;
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (!created && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_LE(db.visible_seqno(), s);
  EXPECT_EQ(a.get("k1", db.visible_seqno()).value(), std::nullopt);

  tree.append_entry(tervik::InternalValue::new_value(tervik::Slice("k2"), tervik::Slice("v"), s));
  state.visible_seqno.raise_to(s + 1);
  writer.reset();
  creator.join();
  ASSERT_TRUE(created);
  const tervik::SeqNo visible = db.visible_seqno();
  EXPECT_GT(visible, s + 1);  // the ingestion's number came after the write's
  EXPECT_EQ(a.get("k1", visible).value(), "v");
  EXPECT_EQ(a.get("k2", visible).value(), "v");
  EXPECT_EQ(state.meta.get_keyspace_name(2).value(), "b");
}

}  // namespace
}  // namespace morva
