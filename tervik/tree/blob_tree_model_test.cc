// Random operations on a blob tree checked against a map of each key's
// history: values around the separation threshold, blob ingestions of sorted
// batches, memtable writes and flushes (values inline), overwrites, leveled
// compactions that relocate blob files eagerly (low staleness threshold, age
// cutoff 1) and reopens; reads and scans resolve every value, at the latest
// state and at each open snapshot. ZV_TREE_MODEL_OPS sets the operations per
// seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/compaction/leveled.h"
#include "tervik/tree/testing/blob_fixture.h"

namespace tervik {
namespace blob_tree_model_test {

constexpr uint32_t kThreshold = 64;

struct History {
  // key -> (seqno -> value)
  std::map<std::string, std::map<SeqNo, std::string>> keys;

  std::string read(const std::string& key, SeqNo snapshot) const {
    auto it = keys.find(key);
    if (it == keys.end()) return "<none>";
    auto v = it->second.lower_bound(snapshot);
    if (v == it->second.begin()) return "<none>";
    return std::prev(v)->second;
  }
  std::map<std::string, std::string> scan(SeqNo snapshot) const {
    std::map<std::string, std::string> out;
    for (const auto& [k, versions] : keys) {
      auto v = versions.lower_bound(snapshot);
      if (v != versions.begin()) out[k] = std::prev(v)->second;
    }
    return out;
  }
};

size_t ops_per_seed() {
  const char* v = std::getenv("ZV_TREE_MODEL_OPS");
  return v != nullptr ? static_cast<size_t>(std::strtoull(v, nullptr, 10)) : 600;
}

KvSeparationOptions options() {
  KvSeparationOptions o = testing::blob_options(kThreshold, 16 * 1024);
  o.staleness_threshold = 0.1f;
  o.age_cutoff = 1.0f;
  return o;
}

compaction::StrategyHandle small_leveled() {
  LeveledOptions o;
  o.target_size = 4096;
  o.l0_threshold = 2;
  o.level_ratio_policy = {2.0f};
  return std::make_shared<compaction::Leveled>(o);
}

// Compacts until the strategy chooses nothing.
void compact_fully(const BlobTree& t, SeqNo watermark) {
  const auto strategy = small_leveled();
  for (int round = 0; round < 200; ++round) {
    const uint64_t before = t.index().current_version().id();
    auto st = t.index().compact(strategy, watermark);
    ASSERT_TRUE(st.ok()) << st.error().to_string();
    if (t.index().current_version().id() == before) return;
  }
  FAIL() << "compaction does not settle";
}

// Every blob file in the folder is the version's, and every pointer resolves.
void expect_consistent(const testing::TreeDir& dir, const BlobTree& t, const History& model) {
  std::set<std::string> listed;
  for (const auto& [id, file] : t.index().current_version().blob_files()) listed.insert(std::to_string(id));
  EXPECT_EQ(testing::files_of(testing::blobs_folder(dir)), listed);
  EXPECT_EQ(testing::scan_resolved(t, dir.seqno.get()), model.scan(dir.seqno.get()));
}

void run_model(uint64_t seed) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  zv::log::CaptureSink sink(zv::log::Level::kDebug);
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t n) { return static_cast<uint64_t>(rng() % n); };
  testing::TreeDir dir;
  std::optional<BlobTree> t = testing::open_blob_tree(dir, options());
  History model;
  std::multiset<SeqNo> snapshots;
  const auto strategy = small_leveled();
  auto watermark = [&] { return snapshots.empty() ? dir.seqno.get() : *snapshots.begin(); };
  auto key_of = [](uint64_t i) { return "key" + std::to_string(1000 + i); };
  auto value = [&](char fill) {
    static constexpr uint32_t kLengths[] = {kThreshold - 1, kThreshold, kThreshold + 1, 3, 700};
    std::string v(kLengths[pick(5)] + pick(2), fill);
    v[0] = static_cast<char>(pick(256));  // hostile bytes inside
    if (v.size() > 8) v.replace(1, 4, "BLOB");
    return v;
  };
  auto flush = [&] {
    auto guard = t->index().lock_flush();
    t->index().rotate_memtable();
    auto r = t->index().flush_sealed_memtables(watermark());
    ASSERT_TRUE(r.ok()) << r.error().to_string();
  };
  auto check = [&](const char* when) {
    std::vector<SeqNo> at(snapshots.begin(), snapshots.end());
    at.push_back(dir.seqno.get());
    for (SeqNo s : at) {
      for (uint64_t i = 0; i < 200; i += 1 + pick(9)) {
        ASSERT_EQ(testing::read_resolved(*t, key_of(i), s), model.read(key_of(i), s)) << when << " at " << s;
      }
      ASSERT_EQ(testing::scan_resolved(*t, s, pick(2) == 0), model.scan(s)) << when << " at " << s;
    }
  };

  const size_t ops = ops_per_seed();
  for (size_t op = 0; op < ops; ++op) {
    const uint64_t kind = pick(100);
    if (kind < 45) {
      const std::string k = key_of(pick(200));
      const SeqNo s = dir.seqno.next();
      std::string v = value('m');
      testing::put(t->index(), k, v, s);
      model.keys[k][s] = std::move(v);
    } else if (kind < 60) {
      std::set<std::string> batch;
      for (uint64_t n = 1 + pick(40); n > 0; --n) batch.insert(key_of(pick(200)));
      testing::Pairs pairs;
      for (const std::string& k : batch) pairs.emplace_back(k, value('i'));
      ASSERT_TRUE(testing::blob_ingest(*t, pairs).ok());
      const SeqNo s = t->index().latest_super_version().seqno;
      for (auto& [k, v] : pairs) model.keys[k][s] = v;
    } else if (kind < 70) {
      flush();
    } else if (kind < 78) {
      if (snapshots.size() < 3) snapshots.insert(dir.seqno.get());
    } else if (kind < 85) {
      if (!snapshots.empty()) snapshots.erase(std::next(snapshots.begin(), pick(snapshots.size())));
    } else if (kind < 88) {
      flush();
      t.reset();
      t = testing::open_blob_tree(dir, options());
      snapshots.clear();
      expect_consistent(dir, *t, model);
    } else {
      auto st = t->index().compact(strategy, watermark());
      ASSERT_TRUE(st.ok()) << st.error().to_string();
    }
    if (op % 100 == 0) {
      check("during the run");
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  check("at the end");
  if (::testing::Test::HasFatalFailure()) return;
  snapshots.clear();
  flush();
  compact_fully(*t, dir.seqno.get());
  if (::testing::Test::HasFatalFailure()) return;
  t.reset();
  t = testing::open_blob_tree(dir, options());
  expect_consistent(dir, *t, model);
  EXPECT_TRUE(sink.contains("Relocate blob files: ")) << "the run relocated nothing";
}

TEST(BlobTreeModel, RandomOperationsWithRelocationMatchTheModel) {
  for (uint64_t seed : {11, 12}) {
    run_model(seed);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace blob_tree_model_test
}  // namespace tervik
