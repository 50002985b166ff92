// A child runs blob ingestions that overwrite two keys of three and
// relocating compactions (the leveled strategy with kilobyte targets, an
// eager staleness threshold) until it is killed with SIGKILL; every reopen
// must succeed, resolve every value to the latest reported ingestion of its
// key or a later one, and leave no table or blob file that its version does
// not list.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <set>
#include <sstream>

#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/compaction/leveled.h"
#include "tervik/core/testing/killed_child.h"
#include "tervik/tree/testing/blob_fixture.h"

namespace tervik {
namespace blob_tree_crash_test {

constexpr int kRounds = 30;
constexpr int kKeys = 120;
constexpr uint64_t kGenerationsPerRound = 1'000'000;
constexpr int kCompactionsPerIngestion = 4;
constexpr uint32_t kThreshold = 100;

std::string key_of(int k) { return "k" + std::to_string(1000 + k); }

// Whether ingestion `gen` writes key k: two keys of three, varying by gen.
bool writes(int k, uint64_t gen) { return (static_cast<uint64_t>(k) * 7 + gen) % 3 != 0; }

// "g<gen>|<key>|" padded: mostly above the threshold, now and then inline.
std::string value_of(int k, uint64_t gen) {
  std::string v = "g" + std::to_string(gen) + "|" + key_of(k) + "|";
  const size_t len = (gen + k) % 7 == 0 ? 40 : 120 + (gen * 31 + k) % 400;
  v.resize(len, static_cast<char>('a' + (gen + k) % 26));
  return v;
}

KvSeparationOptions options() {
  KvSeparationOptions o = testing::blob_options(kThreshold, 8 * 1024);
  o.staleness_threshold = 0.1f;
  o.age_cutoff = 1.0f;
  return o;
}

TreeConfig config_of(const std::string& folder) {
  TreeConfig c = TreeConfig::create(folder, SeqNoCounter(1), SeqNoCounter(1));
  c.kv_separation_opts = options();
  return c;
}

// Ingests generation gen = first, first + 1, ..., compacting after each, and
// reports "I <gen>" on `fd` once an ingestion has finished.
[[noreturn]] void child(const std::string& folder, uint64_t first, int fd) {
  TreeConfig config = config_of(folder);
  const SeqNoCounter seqno = config.seqno;
  auto handle = open_tree(std::move(config));
  if (!handle.ok()) ::_exit(2);
  const BlobTree t = std::get<BlobTree>(handle->tree);
  if (auto h = t.index().get_highest_persisted_seqno()) seqno.raise_to(*h + 1);
  LeveledOptions leveled;
  leveled.target_size = 4096;
  leveled.l0_threshold = 2;
  leveled.level_ratio_policy = {2.0f};
  const auto strategy = std::make_shared<compaction::Leveled>(leveled);
  for (uint64_t gen = first;; ++gen) {
    testing::Pairs pairs;
    for (int k = 0; k < kKeys; ++k) {
      if (writes(k, gen)) pairs.emplace_back(key_of(k), value_of(k, gen));
    }
    if (auto st = testing::blob_ingest(t, pairs); !st.ok()) {
      std::fprintf(stderr, "ingestion failed: %s\n", st.error().to_string().c_str());
      ::_exit(3);
    }
    const std::string line = "I " + std::to_string(gen) + "\n";
    (void)!::write(fd, line.data(), line.size());
    for (int c = 0; c < kCompactionsPerIngestion; ++c) {
      const uint64_t before = t.index().current_version().id();
      if (auto st = t.index().compact(strategy, seqno.get()); !st.ok()) {
        std::fprintf(stderr, "compaction failed: %s\n", st.error().to_string().c_str());
        ::_exit(4);
      }
      if (t.index().current_version().id() == before) break;
    }
  }
}

std::set<std::string> ids_as_names(const std::vector<uint64_t>& ids) {
  std::set<std::string> out;
  for (uint64_t id : ids) out.insert(std::to_string(id));
  return out;
}

TEST(BlobTreeCrash, KilledIngestionsAndRelocationsLoseNothingReported) {
  testing::TreeDir dir;
  std::mt19937_64 rng(zv::os_random_u64());
  std::vector<uint64_t> durable(kKeys, 0);  // the latest reported generation per key
  for (int round = 0; round < kRounds; ++round) {
    const uint64_t first = (round + 1) * kGenerationsPerRound;
    const testing::KilledChild run = testing::run_and_kill([&](int fd) { child(dir.path(), first, fd); },
                                                           50'000 + rng() % 400'000);
    ASSERT_TRUE(run.killed) << "round " << round << ": child exited with " << run.exit_code;
    std::istringstream lines(run.reports);
    std::string tag;
    uint64_t gen = 0;
    while (lines >> tag >> gen) {
      for (int k = 0; k < kKeys; ++k) {
        if (writes(k, gen)) durable[k] = std::max(durable[k], gen);
      }
    }

    auto handle = open_tree(config_of(dir.path()));
    ASSERT_TRUE(handle.ok()) << "round " << round << ": " << handle.error().to_string();
    const BlobTree t = std::get<BlobTree>(handle->tree);
    for (int k = 0; k < kKeys; ++k) {
      const std::string got = testing::read_resolved(t, key_of(k), UINT64_MAX);
      if (durable[k] == 0 && got == "<none>") continue;
      ASSERT_EQ(got.substr(0, 1), "g") << "round " << round << " key " << k << ": " << got.substr(0, 80);
      const uint64_t g = std::stoull(got.substr(1));
      ASSERT_EQ(got, value_of(k, g)) << "round " << round << " key " << k << ": not a value written";
      EXPECT_TRUE(writes(k, g)) << "round " << round << " key " << k;
      EXPECT_GE(g, durable[k]) << "round " << round << " key " << k << ": a reported ingestion is lost";
      durable[k] = g;  // what this reopen holds stays durable
    }
    // Nothing but what the version lists.
    const Version v = t.index().current_version();
    std::vector<uint64_t> tables, blobs;
    for (const Table& table : v.tables()) tables.push_back(table.id());
    for (const auto& [id, file] : v.blob_files()) blobs.push_back(id);
    EXPECT_EQ(testing::files_of(dir.tables()), ids_as_names(tables)) << "round " << round;
    EXPECT_EQ(testing::files_of(testing::blobs_folder(dir)), ids_as_names(blobs)) << "round " << round;
  }
  // A crowded machine may kill every child before its first ingestion.
  if (*std::max_element(durable.begin(), durable.end()) == 0) std::printf("note: no ingestion was reported\n");
}

}  // namespace blob_tree_crash_test
}  // namespace tervik
