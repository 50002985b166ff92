#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "platform/testing/temp_dir.h"
#include "tervik/version/super_version.h"
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
    ASSERT_TRUE(list.append_version(dir.path(), seqno, visible, next, last.active_memtable,
                                    last.sealed_memtables)
                    .ok());
    ASSERT_TRUE(list.gc(dir.path(), visible.get()).ok());
  }
  stop.store(true);
  for (auto& th : readers) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(list.size(), 1u);
}

}  // namespace
}  // namespace tervik
