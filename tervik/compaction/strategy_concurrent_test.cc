// One strategy object and one version shared by several compaction threads:
// every concurrent choice equals the choice made alone (the FIFO choice
// reads the tables' linked blob bytes, which the first readers compute and
// cache at the same time).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/testing/temp_dir.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"
#include "tervik/compaction/testing/strategy_tables.h"
#include "tervik/version/testing/version_builders.h"

namespace tervik::compaction {
namespace {

TEST(StrategyConcurrent, SharedStrategiesDecideAlike) {
  zv::testing::TempDir dir;
  tervik::testing::StrategyTables maker(dir.path());
  std::vector<Table> tables;
  std::vector<tervik::testing::IdRuns> levels(7);
  char lo[16];
  char hi[16];
  uint64_t id = 1;
  // Level 1 and 2 of interleaved tables, so that level 1 merges into 2.
  for (size_t level = 1; level <= 2; ++level) {
    levels[level].emplace_back();
    for (int j = 0; j < 40; ++j) {
      std::snprintf(lo, sizeof(lo), "k%03d", j * 10 + (level == 1 ? 3 : 0));
      std::snprintf(hi, sizeof(hi), "k%03d", j * 10 + (level == 1 ? 6 : 9));
      tables.push_back(maker.make(id, lo, hi, 1, std::nullopt, {{1, 10, 10, 1}}));
      levels[level].back().push_back(id++);
    }
  }
  const Version leveled_version = tervik::testing::version_of(1, levels, tables);
  std::vector<tervik::testing::IdRuns> l0 = {{levels[1][0], levels[2][0]}};
  const Version fifo_version = tervik::testing::version_of(2, l0, tables);

  LeveledOptions o;
  o.l0_threshold = 1;
  o.target_size = 1000;  // level 1 is over, merge windows end only past 50,000 bytes
  o.level_ratio_policy = {1e6f};
  const auto leveled = std::make_shared<const Leveled>(o);
  const auto fifo = std::make_shared<const Fifo>(1000, std::nullopt);
  const TreeConfig config = TreeConfig::create(dir.path(), SeqNoCounter(0), SeqNoCounter(0));
  const HiddenTableSet hidden = {3, 45};
  const Choice leveled_alone = leveled->choose(leveled_version, config, hidden);
  ASSERT_TRUE(std::holds_alternative<Merge>(leveled_alone)) << debug_string(leveled_alone);

  // The FIFO answer before any linked bytes are cached, from a twin
  // version over freshly opened tables.
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  const Choice fifo_expected = [&] {
    tervik::testing::StrategyTables twin_maker(zv::fs::join(dir.path(), "twin"));
    std::vector<Table> twins;
    for (const Table& t : tables) {
      twins.push_back(twin_maker.make(t.id(), std::string(t.meta().key_min.view()),
                                      std::string(t.meta().key_max.view()), 1, std::nullopt,
                                      {{1, 10, 10, 1}}));
    }
    return fifo->choose(tervik::testing::version_of(2, l0, twins), config, {});
  }();
  ASSERT_TRUE(std::holds_alternative<Drop>(fifo_expected));
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (fifo->choose(fifo_version, config, {}) != fifo_expected) ++mismatches;
        if (leveled->choose(leveled_version, config, hidden) != leveled_alone) ++mismatches;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace tervik::compaction
