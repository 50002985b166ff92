// Four writers (single puts and deletes, and batches, over the ten backend
// keyspace names) and two readers on one database whose memtables and
// journals are small enough for hundreds of flushes; afterwards every key
// reads its last value, and flushes, journal rotations, compactions and
// journal deletions all happened while the journal files stayed few.
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "morva/src/db.h"
#include "morva/src/testing/test_db.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"

namespace morva {
namespace {

const char* const kNames[] = {"default",   "tombstone_storage", "compressed_archive", "tombstones",
                              "namespace_index", "payload_index", "text_index", "sparse_index",
                              "internal_metadata", "versions"};

TEST(DatabaseEndToEnd, WritersReadersAndEveryKindOfMaintenance) {
  constexpr int kWriters = 4;
  constexpr int kOpsPerWriter = 250'000;
  constexpr int kKeysPerWriter = 20'000;
  zv::testing::TempDir dir;
  const std::string folder = zv::fs::join(dir.path(), "db");
  DatabaseConfig config = testing::small_config(folder, 4);
  config.journal_preallocated_size = 4 << 20;
  config.journal_rotation_threshold = 2 << 20;
  config.journal_size_limit = 16 << 20;
  testing::with_memtable_limit(config, 256 << 10);
  Database db = testing::create_db(std::move(config));
  std::vector<Keyspace> keyspaces;
  for (const char* name : kNames) keyspaces.push_back(testing::open_keyspace(db, name));

  // The last value each writer left under each of its keys ("" = deleted).
  std::vector<std::map<std::pair<int, std::string>, std::string>> last(kWriters);
  std::atomic<bool> done{false};
  std::atomic<size_t> max_journals{0};
  std::atomic<uint64_t> reads{0};
  auto key_of = [](int writer, int k) { return "w" + std::to_string(writer) + "-" + std::to_string(k); };

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937_64 rng(w);
      for (int op = 0; op < kOpsPerWriter;) {
        const int ks = static_cast<int>(rng() % 10);
        const int k = static_cast<int>(rng() % kKeysPerWriter);
        const uint64_t kind = rng() % 20;
        if (kind == 0) {
          // A batch of ten over several keyspaces.
          Batch batch = db.batch();
          for (int i = 0; i < 10; ++i, ++op) {
            const int bks = static_cast<int>(rng() % 10);
            const int bk = static_cast<int>(rng() % kKeysPerWriter);
            const std::string value = "b" + std::to_string(op);
            batch.insert(keyspaces[bks], key_of(w, bk), value);
            last[w][{bks, key_of(w, bk)}] = value;
          }
          ASSERT_TRUE(batch.commit().ok());
        } else if (kind == 1) {
          ASSERT_TRUE(keyspaces[ks].remove(key_of(w, k)).ok());
          last[w][{ks, key_of(w, k)}] = "";
          ++op;
        } else {
          const std::string value = "v" + std::to_string(op) + std::string(40, 'x');
          ASSERT_TRUE(keyspaces[ks].insert(key_of(w, k), value).ok());
          last[w][{ks, key_of(w, k)}] = value;
          ++op;
        }
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937_64 rng(100 + r);
      while (!done) {
        auto v = keyspaces[rng() % 10].get(key_of(static_cast<int>(rng() % kWriters), static_cast<int>(rng() % kKeysPerWriter)));
        ASSERT_TRUE(v.ok());
        ++reads;
        if (r == 0 && reads % 1000 == 0) {
          const size_t n = testing::journal_file_count(folder);
          size_t seen = max_journals.load();
          while (n > seen && !max_journals.compare_exchange_weak(seen, n)) {
          }
        }
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  done = true;
  for (size_t t = kWriters; t < threads.size(); ++t) threads[t].join();

  ASSERT_FALSE(db.is_poisoned());
  for (int w = 0; w < kWriters; ++w) {
    for (const auto& [where, value] : last[w]) {
      auto got = keyspaces[where.first].get(where.second);
      ASSERT_TRUE(got.ok());
      ASSERT_EQ(got->value_or(""), value) << kNames[where.first] << " " << where.second;
    }
  }
  size_t runs = 0;
  for (const Keyspace& ks : keyspaces) runs += ks.tree().index().current_version().tables().size();
  const DatabaseState& s = *db.state();
  EXPECT_GT(runs, 0u);
  EXPECT_GT(s.bookkeeping->compactions_completed.load(), 0u);
  EXPECT_GT(reads.load(), 0u);
  // Rotations happened (journal numbers moved on) and sealed journals were
  // deleted again, so the files on disk stayed few.
  EXPECT_FALSE(zv::fs::exists(zv::fs::join(folder, "0.jnl")));
  EXPECT_GT(max_journals.load(), 0u);
  EXPECT_LE(max_journals.load(), 16u);
  size_t flushed_keyspaces = 0;
  for (const Keyspace& ks : keyspaces) flushed_keyspaces += ks.tree().index().get_highest_persisted_seqno().has_value();
  EXPECT_EQ(flushed_keyspaces, 10u);
}

}  // namespace
}  // namespace morva
