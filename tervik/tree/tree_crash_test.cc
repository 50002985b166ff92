// A child writes, flushes, compacts (the leveled strategy with kilobyte
// targets, so that merges are frequent) and ingests sorted batches until it
// is killed with SIGKILL; every reopen must succeed, hold what each reported
// flush made durable, show each ingested batch whole or not at all (whole
// when its ingestion was reported) and leave no file that its version does
// not list.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/compaction/leveled.h"
#include "tervik/core/atomic_file.h"
#include "tervik/core/testing/killed_child.h"
#include "tervik/tree/ingestion.h"
#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

constexpr int kRounds = 30;
constexpr uint64_t kKeys = 500;
constexpr uint64_t kWritesPerRound = 1'000'000;
constexpr size_t kMaxTables = 200;
constexpr int kCompactionsPerFlush = 4;
constexpr int kBatchKeys = 50;

std::string key_of(uint64_t w) { return "k" + std::to_string(w % kKeys); }

TreeConfig config_of(const std::string& folder) {
  return TreeConfig::create(folder, SeqNoCounter(1), SeqNoCounter(1));
}

// The keys of ingested batch b: "i<b>-000" .. "i<b>-049", ascending.
std::string batch_key(uint64_t b, int j) {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "i%llu-%03d", static_cast<unsigned long long>(b), j);
  return buf;
}

// Writes number w = first, first + 1, ... (key w % 500, value "w<w>"),
// rotating, flushing and compacting now and then; after each registered
// flush reports "F <writes covered>" on `fd`. Now and then ingests batch w
// instead (which flushes the memtables first) and reports "F <writes
// covered>" and "I <w>".
[[noreturn]] void child(const std::string& folder, uint64_t first, int fd) {
  TreeConfig config = config_of(folder);
  const SeqNoCounter seqno = config.seqno;
  auto tree = Tree::open(std::move(config));
  if (!tree.ok()) ::_exit(2);
  if (auto h = tree->get_highest_persisted_seqno()) seqno.raise_to(*h + 1);
  LeveledOptions leveled;
  leveled.target_size = 4096;
  leveled.l0_threshold = 2;
  leveled.level_ratio_policy = {4.0f};
  const auto strategy = std::make_shared<compaction::Leveled>(leveled);
  std::mt19937_64 rng(first);
  for (uint64_t w = first;; ++w) {
    const std::string value = "w" + std::to_string(w) + std::string(rng() % 200, 'x');
    tree->append_entry(InternalValue::new_value(Slice(key_of(w)), Slice(value), seqno.next()));
    // Without compaction every flush adds a level-0 run, and a version file
    // holds at most 255 of them: stop flushing well before that.
    if (rng() % 200 == 0 && tree->current_version().tables().size() < kMaxTables) {
      tree->rotate_memtable();
      auto guard = tree->lock_flush();
      auto r = tree->flush_sealed_memtables(seqno.get());
      if (!r.ok()) {
        std::fprintf(stderr, "flush failed: %s\n", r.error().to_string().c_str());
        ::_exit(3);
      }
      const std::string line = "F " + std::to_string(w + 1) + "\n";
      (void)!::write(fd, line.data(), line.size());
      for (int c = 0; c < kCompactionsPerFlush; ++c) {
        const uint64_t before = tree->current_version().id();
        if (auto st = tree->compact(strategy, seqno.get()); !st.ok()) {
          std::fprintf(stderr, "compaction failed: %s\n", st.error().to_string().c_str());
          ::_exit(6);
        }
        if (tree->current_version().id() == before) break;
      }
    } else if (rng() % 300 == 0 && tree->current_version().tables().size() < kMaxTables) {
      auto ing = Ingestion::create(*tree);
      if (!ing.ok()) ::_exit(4);
      for (int j = 0; j < kBatchKeys; ++j) {
        if (!ing->write(batch_key(w, j), "b" + std::to_string(w)).ok()) ::_exit(4);
      }
      if (auto r = std::move(*ing).finish(); !r.ok()) {
        std::fprintf(stderr, "ingestion failed: %s\n", r.error().to_string().c_str());
        ::_exit(5);
      }
      const std::string line = "F " + std::to_string(w + 1) + "\nI " + std::to_string(w) + "\n";
      (void)!::write(fd, line.data(), line.size());
    }
  }
}

TEST(TreeCrash, KilledWritersAndCompactorsLoseOnlyUnflushedWrites) {
  testing::TreeDir dir;
  std::mt19937_64 rng(zv::os_random_u64());
  std::vector<std::optional<uint64_t>> durable(kKeys);  // the latest durable write number per key
  std::set<uint64_t> ingested;                           // reported batches
  for (int round = 0; round < kRounds; ++round) {
    const uint64_t first = (round + 1) * kWritesPerRound;
    const testing::KilledChild run = testing::run_and_kill([&](int fd) { child(dir.path(), first, fd); },
                                                           50'000 + rng() % 250'000);
    ASSERT_TRUE(run.killed) << "round " << round << ": child exited with " << run.exit_code;
    std::istringstream lines(run.reports);
    std::string tag;
    uint64_t covered = 0;
    while (lines >> tag >> covered) {
      if (tag == "I") ingested.insert(covered);
      if (tag != "F") continue;
      for (uint64_t k = 0; k < kKeys; ++k) {
        // The last write of key k below `covered` in this round.
        if (covered <= first) continue;
        const uint64_t span = covered - first;
        if (span <= k) continue;
        const uint64_t last = first + k + (span - 1 - k) / kKeys * kKeys;
        durable[k] = last;
      }
    }

    auto tree = Tree::open(config_of(dir.path()));
    ASSERT_TRUE(tree.ok()) << "round " << round << ": " << tree.error().to_string();
    for (uint64_t k = 0; k < kKeys; ++k) {
      const std::string got = testing::read(*tree, "k" + std::to_string(k), UINT64_MAX);
      if (!durable[k]) continue;
      ASSERT_EQ(got[0], 'w') << "round " << round << " key " << k << ": " << got;
      const uint64_t w = std::stoull(got.substr(1, got.find('x') == std::string::npos ? std::string::npos
                                                                                      : got.find('x') - 1));
      EXPECT_EQ(w % kKeys, k) << "round " << round << ": a value never written to this key";
      EXPECT_GE(w, *durable[k]) << "round " << round << " key " << k << ": a flushed write is lost";
      durable[k] = w;  // what this reopen holds stays durable
    }
    // Every batch is whole or absent; every reported one is there.
    std::map<uint64_t, int> batches;
    TreeIter scan = TreeIter::create_prefix(tree->latest_super_version(), "i");
    while (ReadItem item = scan.next()) {
      ASSERT_TRUE(item->ok()) << "round " << round << ": " << item->error().to_string();
      const std::string key((*item)->key.user_key.view());
      if (key[0] != 'i') break;
      const uint64_t b = std::stoull(key.substr(1, key.find('-') - 1));
      ASSERT_EQ((*item)->value.view(), "b" + std::to_string(b)) << key;
      ASSERT_EQ(key, batch_key(b, batches[b]++)) << "round " << round << ": a batch in part";
    }
    for (const auto& [b, n] : batches) EXPECT_EQ(n, kBatchKeys) << "round " << round << ": batch " << b << " in part";
    for (uint64_t b : ingested) EXPECT_TRUE(batches.contains(b)) << "round " << round << ": batch " << b << " lost";
    // Nothing but what the version lists.
    std::set<std::string> listed;
    for (const Table& t : tree->current_version().tables()) listed.insert(std::to_string(t.id()));
    const auto table_names = zv::fs::list_dir(dir.tables());
    ASSERT_TRUE(table_names.ok());
    for (const std::string& name : *table_names) {
      EXPECT_TRUE(listed.contains(name)) << "round " << round << ": orphan table " << name;
    }
    const std::string live = version_file_name(tree->current_version().id());
    const auto names = zv::fs::list_dir(dir.path());
    ASSERT_TRUE(names.ok());
    for (const std::string& name : *names) {
      if (name == "tables" || name == "current" || name == live || file::is_temp_name(name)) continue;
      ADD_FAILURE() << "round " << round << ": unexpected file " << name;
    }
  }
  // A crowded machine may kill every child before its first ingestion.
  if (ingested.empty()) std::printf("note: no ingestion was reported in %d rounds\n", kRounds);
}

}  // namespace
}  // namespace tervik
