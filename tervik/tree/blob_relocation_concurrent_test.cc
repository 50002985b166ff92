// Relocating compactions while readers resolve values (point reads and
// scans) through the shared caches and ingestions finish: a reader sees a
// generation of each key at least as new as the last finished ingestion's,
// and always a whole value.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "tervik/compaction/leveled.h"
#include "tervik/tree/testing/blob_fixture.h"

namespace tervik {
namespace blob_relocation_concurrent_test {

constexpr int kKeys = 60;
constexpr int kRounds = 16;

std::string key_of(int i) { return "key" + std::to_string(100 + i); }
// "<key>|<generation>|" padded to 300 bytes: above the threshold.
std::string value_of(int i, int generation) {
  std::string v = key_of(i) + "|" + std::to_string(generation) + "|";
  v.resize(300, static_cast<char>('a' + generation % 26));
  return v;
}
// The generation of a whole value of key i, or -1.
int generation_of(int i, std::string_view v) {
  const std::string prefix = key_of(i) + "|";
  if (v.size() != 300 || v.substr(0, prefix.size()) != prefix) return -1;
  const int g = std::atoi(std::string(v.substr(prefix.size())).c_str());
  return value_of(i, g) == v ? g : -1;
}

TEST(BlobRelocationConcurrent, CompactionsReadersAndIngestionsAgree) {
  testing::TreeDir dir;
  KvSeparationOptions o = testing::blob_options(100, 8 * 1024);
  o.staleness_threshold = 0.1f;
  const BlobTree t = testing::open_blob_tree(dir, o);
  zv::log::CaptureSink sink(zv::log::Level::kDebug);
  LeveledOptions lo;
  lo.target_size = 4096;
  lo.l0_threshold = 2;
  lo.level_ratio_policy = {2.0f};
  const auto strategy = std::make_shared<compaction::Leveled>(lo);

  // Per key, the last generation whose ingestion finished. Each ingestion
  // rewrites two keys of three, so that blob files go partly stale.
  std::vector<std::atomic<int>> finished(kKeys);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  auto rewrites = [](int i, int generation) { return generation == 0 || (i + generation) % 3 != 0; };
  auto ingest = [&](int generation) {
    testing::Pairs pairs;
    for (int i = 0; i < kKeys; ++i) {
      if (rewrites(i, generation)) pairs.emplace_back(key_of(i), value_of(i, generation));
    }
    if (!testing::blob_ingest(t, pairs).ok()) failures.fetch_add(1);
    for (int i = 0; i < kKeys; ++i) {
      if (rewrites(i, generation)) finished[i].store(generation);
    }
  };
  ingest(0);

  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!stop.load()) {
      if (!t.index().compact(strategy, UINT64_MAX).ok()) failures.fetch_add(1);
    }
  });
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      uint64_t n = r;
      while (!stop.load()) {
        std::vector<int> floor(kKeys);
        for (int i = 0; i < kKeys; ++i) floor[i] = finished[i].load();
        const SuperVersion sv = t.index().latest_super_version();
        if (++n % 8 == 0) {
          BlobTreeIter it(TreeIter::create_range(sv, KeyRange::all(), UINT64_MAX), t.index().inner(),
                          std::make_shared<const std::string>(t.blobs_folder()));
          int i = 0;
          while (std::optional<BlobTreeGuard> g = it.next()) {
            auto kv = std::move(*g).into_kv();
            if (!kv.ok() || generation_of(i, kv->second.view()) < floor[i]) failures.fetch_add(1);
            ++i;
          }
          if (i != kKeys) failures.fetch_add(1);
          continue;
        }
        const int i = static_cast<int>(n % kKeys);
        auto item = Tree::get_from_version(sv, key_of(i), UINT64_MAX);
        if (!item.ok() || !item->has_value()) {
          failures.fetch_add(1);
          continue;
        }
        auto kv = vlog::resolve_indirection(t.index().id(), sv.version.blob_files(), sv.version.id(),
                                            *t.index().config().cache, **item);
        if (!kv.ok() || generation_of(i, kv->second.view()) < floor[i]) failures.fetch_add(1);
      }
    });
  }
  for (int g = 1; g <= kRounds; ++g) ingest(g);
  stop.store(true);
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(sink.contains("Relocate blob files: ")) << "no relocation ran alongside";
  for (int i = 0; i < kKeys; ++i) {
    EXPECT_EQ(testing::read_resolved(t, key_of(i), dir.seqno.get()), value_of(i, finished[i].load()));
  }
}

}  // namespace blob_relocation_concurrent_test
}  // namespace tervik
