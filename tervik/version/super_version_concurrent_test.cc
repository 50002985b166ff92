#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/version/super_version.h"
#include "tervik/version/testing/version_builders.h"
#include "tervik/version/testing/version_fixture.h"

namespace tervik {
namespace {

// Readers take their super version under the shared lock and keep using it
// after releasing the lock while a writer publishes and collects versions
// under the exclusive lock, as a tree does.
TEST(SuperVersionConcurrentTest, ClonesOutliveCollection) {
  zv::testing::TempDir dir;
  testing::TreeFolder tree(dir.path());
  const Table t = tree.table(1, "a", "z");
  SuperVersions list(Version::create(0, TreeType::kStandard));
  std::shared_mutex lock;  // protects list
  SeqNoCounter seqno(1), visible(0);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        std::optional<SuperVersion> held;
        {
          std::shared_lock guard(lock);
          held = list.find_for_snapshot(visible.get());
        }
        const SuperVersion& sv = *held;
        std::this_thread::yield();
        // Every published version past the first lists the table once.
        if (sv.version.id() > 0 && (sv.version.table_count() != 1 || sv.version.l0().runs()[0]->min_key() != "a")) {
          failures.fetch_add(1);
        }
      }
    });
  }
  for (int i = 0; i < 50; ++i) {
    std::unique_lock guard(lock);
    const SuperVersion last = list.latest();
    const Version next = last.version.id() == 0
                             ? last.version.with_new_l0_run({t}, std::nullopt, std::nullopt)
                             : last.version.with_new_l0_run({}, std::nullopt, std::nullopt);
    ASSERT_TRUE(testing::append_version(list, dir.path(), seqno, visible, next, last.active_memtable,
                                    last.sealed_memtables)
                    .ok());
    ASSERT_TRUE(list.gc(dir.path(), visible.get()).ok());
  }
  stop.store(true);
  for (auto& th : readers) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(list.size(), 1u);
}

// Compaction-like churn: the writer adds tables and drops the oldest one,
// marking it deleted once the version without it is published, and collects
// old super versions. Readers keep reading every table of the super version
// they hold; a dropped table's file must outlive every holder and go with the
// last one.
TEST(SuperVersionConcurrentTest, DroppedTablesStayReadableUntilTheLastHolderGoes) {
  zv::testing::TempDir dir;
  testing::TreeFolder tree(dir.path());
  // Ids no other test of this binary uses: tables share one block cache.
  constexpr uint64_t kFirstId = 7'000'000;
  auto key_of = [](uint64_t id) { return "k" + std::to_string(id); };
  SuperVersions list(Version::create(0, TreeType::kStandard));
  std::shared_mutex lock;  // protects list
  SeqNoCounter seqno(1), visible(0);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> reads{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        std::optional<SuperVersion> held;
        {
          std::shared_lock guard(lock);
          held = list.find_for_snapshot(visible.get());
        }
        // Two passes with a pause between, so that the writer publishes
        // and marks tables deleted while this super version is held.
        for (int pass = 0; pass < 2; ++pass) {
          if (pass == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2));
          for (const Table& t : held->version.tables()) {
            const std::string key = key_of(t.id());
            auto g = t.get(key, ~SeqNo{0}, BloomFilter::key_hash(key));
            if (!g.ok() || !g->has_value()) failures.fetch_add(1);
            // Held, so its file is still there even once it is marked deleted.
            if (!zv::fs::exists(t.path())) failures.fetch_add(1);
            reads.fetch_add(1);
          }
        }
      }
    });
  }

  uint64_t next_id = kFirstId;
  std::vector<std::string> dropped_paths;
  for (int i = 0; i < 60; ++i) {
    const Table added = tree.table(next_id, key_of(next_id), key_of(next_id));
    ++next_id;
    std::unique_lock guard(lock);
    const SuperVersion last = list.latest();
    Version next = last.version.with_new_l0_run({added}, std::nullopt, std::nullopt);
    std::optional<Table> gone;
    if (i % 3 == 2) {
      for (const Table& t : next.tables()) {
        if (!gone || t.id() < gone->id()) gone = t;  // the oldest table
      }
      const uint64_t id = gone->id();
      std::vector<BlobFileHandle> no_blobs;
      auto d = next.with_dropped(std::span<const uint64_t>(&id, 1), &no_blobs);
      ASSERT_TRUE(d.ok()) << d.error().to_string();
      next = *d;
    }
    ASSERT_TRUE(testing::append_version(list, dir.path(), seqno, visible, next, last.active_memtable,
                                    last.sealed_memtables)
                    .ok());
    if (gone) {
      gone->mark_as_deleted();
      dropped_paths.push_back(gone->path());
    }
    ASSERT_TRUE(list.gc(dir.path(), visible.get()).ok());
  }
  stop.store(true);
  for (auto& th : readers) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(reads.load(), 0);
  ASSERT_EQ(list.size(), 1u);
  // Only the newest super version holds tables now: every dropped file went
  // with its last holder, every listed one is still there.
  for (const std::string& p : dropped_paths) EXPECT_FALSE(zv::fs::exists(p)) << p;
  EXPECT_EQ(list.latest().version.table_count(), 40u);
  for (const Table& t : list.latest().version.tables()) EXPECT_TRUE(zv::fs::exists(t.path())) << t.path();
}

}  // namespace
}  // namespace tervik
