// Single writes and batch commits from several threads with readers beside
// them, while the workers rotate memtables and journals, flush (one flush
// slowed, so that writers stall on sealed memtables) and compact. Every
// write is read back at the end. Sized for the thread checker.
#include <atomic>
#include <chrono>
#include <map>
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
  DatabaseConfig config = testing::small_config(zv::fs::join(dir.path(), "db"), 2);
  config.journal_preallocated_size = 256 << 10;
  config.journal_rotation_threshold = 64 << 10;
  config.journal_size_limit = 1 << 20;
  testing::with_memtable_limit(config, 16 << 10);
  std::atomic<int> flushes{0};
  config.hooks.before_flush = [&](std::string_view) {
    if (flushes++ == 1) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  Database db = testing::create_db(std::move(config));
  Keyspace a = testing::open_keyspace(db, "a"), b = testing::open_keyspace(db, "b");

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
  for (int w = 0; w < kWriters; ++w) {
    for (const auto& [key, value] : last[w]) {
      ASSERT_EQ(a.get(key).value(), value);
      ASSERT_EQ(b.get(key).value(), value);
    }
  }
}

}  // namespace
}  // namespace morva
