#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/log.h"
#include "src/runtime/operational_counters.h"
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/engine_fixture.h"
#include "src/storage/testing/writer_fixture.h"

namespace zv {
namespace {

using testing::engine_disagreements;
using testing::test_node;
using testing::WriterRig;

// A rig whose governor sees a fixed working set; counts residency walks.
struct GovernorRig : WriterRig {
  explicit GovernorRig(uint64_t limit, std::optional<uint64_t> ws, double ratio = 0.8)
      : WriterRig(config_for(limit, ratio)) {
    engine->memory_probe.working_set = [this] { return working_set; };
    engine->memory_probe.usage = [this] {
      ++usage_walks;
      MemoryUsage u;
      u.estimated_bytes = estimate;
      return u;
    };
    working_set = ws;
  }
  static Config config_for(uint64_t limit, double ratio) {
    Config c;
    c.memory_limit = limit;
    c.memory_pressure_ratio = ratio;
    return c;
  }
  void cache_hot(size_t n) {
    for (size_t i = 0; i < n; ++i) {
      EngineNode node = test_node(1000 + i);
      node.tier = Tier::kHot;
      engine->node_cache.put(node);
    }
  }
  std::optional<uint64_t> working_set;
  uint64_t estimate = 0;
  int usage_walks = 0;
};

TEST(MemoryGovernor, LimitZeroNeverEvictsOrRefuses) {
  GovernorRig rig(0, std::numeric_limits<uint64_t>::max());
  rig.cache_hot(5);
  EXPECT_TRUE(rig.engine->check_memory_pressure().ok());
  EXPECT_TRUE(rig.engine->insert(test_node(1)).ok());
  EXPECT_EQ(rig.engine->node_cache.size(), 5u);
}

TEST(MemoryGovernor, PressurePathEvictsThenRefuses) {
  GovernorRig rig(1000, 900);
  rig.cache_hot(5);
  auto& passes = OperationalCounters::global().eviction_passes;
  const uint64_t before = passes.read();
  auto r = rig.engine->insert(test_node(1));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            ZolvaError::resource_limit("Memory pressure: 900 bytes used (90% of 1000 limit, threshold 80%)").message());
  EXPECT_EQ(passes.read() - before, 1u);
  EXPECT_EQ(rig.engine->node_cache.size(), 4u);
  EXPECT_EQ(rig.backend->puts.load(), 1);  // the consolidated node only
  EXPECT_FALSE(rig.engine->delete_node(1, "").ok());
  std::vector<EngineNode> b{test_node(2)};
  EXPECT_FALSE(rig.engine->batch_insert_with_opts(b, {}).ok());
}

TEST(MemoryGovernor, QuietPassBetweenHardLimitAndThreshold) {
  GovernorRig rig(1000, 790);
  rig.cache_hot(5);
  ASSERT_TRUE(rig.engine->insert(test_node(1)).ok());
  EXPECT_EQ(rig.engine->node_cache.size(), 4u);
  EXPECT_GT(rig.engine->memory_budget->last_eviction_ms.load(), 0u);
  EXPECT_EQ(rig.engine->memory_budget->usage_bytes.load(), 790u);
  // Another quiet pass is kept out while one runs.
  rig.engine->memory_budget->evicting = true;
  ASSERT_TRUE(rig.engine->check_memory_pressure().ok());
  EXPECT_EQ(rig.engine->node_cache.size(), 4u);
  rig.engine->memory_budget->evicting = false;
  // Below the hard limit nothing happens.
  rig.working_set = 700;
  ASSERT_TRUE(rig.engine->check_memory_pressure().ok());
  EXPECT_EQ(rig.engine->node_cache.size(), 4u);
  // Ratio 0 turns the governor off.
  GovernorRig off(1000, 5000, 0.0);
  EXPECT_TRUE(off.engine->check_memory_pressure().ok());
}

TEST(MemoryGovernor, CurrentUsageDecidesNotTheRecordedOne) {
  GovernorRig rig(1000, 790);
  rig.engine->memory_budget->usage_bytes = 5000;  // recorded above the limit
  rig.working_set = 100;
  EXPECT_TRUE(rig.engine->check_memory_pressure().ok());
  EXPECT_TRUE(rig.engine->insert(test_node(1)).ok());
}

TEST(MemoryGovernor, ResidencyWalkOnlyWhenWorkingSetUnknown) {
  GovernorRig rig(1000, 100);
  ASSERT_TRUE(rig.engine->check_memory_pressure().ok());
  EXPECT_EQ(rig.usage_walks, 0);
  rig.working_set = std::nullopt;
  rig.estimate = 900;
  EXPECT_FALSE(rig.engine->check_memory_pressure().ok());
  EXPECT_EQ(rig.usage_walks, 1);
  rig.working_set = 0;  // a zero answer counts as none
  EXPECT_FALSE(rig.engine->check_memory_pressure().ok());
  EXPECT_EQ(rig.usage_walks, 2);
}

TEST(MemoryUsage, EstimateCountsSegmentsIndexAndCache) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  for (NodeId id = 1; id <= 3; ++id) {
    EngineNode n = test_node(id);
    n.tier = Tier::kHot;
    ASSERT_TRUE(e.insert(n).ok());
  }
  const MemoryUsage u = e.memory_usage();
  EXPECT_EQ(u.estimated_bytes,
            e.segments[0]->file.capacity() + e.vector_index()->memory_usage() + 3 * 1536);
  EXPECT_EQ(u.index_len, 3u);
  EXPECT_EQ(u.cache_entries, 3u);
}

TEST(Eviction, VictimCountAndOrder) {
  Config c;
  const uint64_t now = 1'000'000'000;
  auto node_at = [&](NodeId id, uint64_t last) {
    EngineNode n = test_node(id);
    n.last_accessed = last;
    return n;
  };
  std::vector<EngineNode> seven, ten;
  for (NodeId i = 0; i < 7; ++i) seven.push_back(node_at(i, now));
  for (NodeId i = 0; i < 10; ++i) ten.push_back(node_at(i, now));
  EXPECT_EQ(eviction_victims(seven, 0.2, c, now).size(), 1u);
  EXPECT_EQ(eviction_victims(ten, 0.2, c, now).size(), 2u);
  EXPECT_TRUE(eviction_victims(ten, 0.0, c, now).empty());
  EXPECT_EQ(eviction_victims(ten, 7.0, c, now).size(), 10u);
  // Read longest ago first; never read counts one second; equal keeps order.
  std::vector<EngineNode> ages{node_at(1, now - 5'000), node_at(2, now - 500'000), node_at(3, 0),
                               node_at(4, now - 500'000)};
  EXPECT_EQ(eviction_victims(ages, 1.0, c, now), (std::vector<size_t>{1, 3, 0, 2}));
  EXPECT_DOUBLE_EQ(eviction_score(node_at(3, 0), c, now), eviction_score(node_at(3, now - 1500), c, now));
  // A NaN score is never evicted.
  std::vector<EngineNode> nan{node_at(1, now)};
  nan[0].importance = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(eviction_victims(nan, 1.0, c, now).empty());
}

TEST(Eviction, ConsolidateKeepsWhatReadsReturn) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  EngineNode n = test_node(1, VectorRepr::sq8(0.5f, {1, 2}));
  n.tier = Tier::kHot;
  ASSERT_TRUE(e.insert(n).ok());
  EngineNode stale = n;
  // A later write lands between the candidate copy and the consolidation.
  EngineNode newer = test_node(1, VectorRepr::f32({3, 4}));
  newer.tier = Tier::kHot;
  ASSERT_TRUE(e.insert(newer).ok());
  ASSERT_TRUE(e.consolidate_node(stale, false).ok());
  EXPECT_FALSE(e.node_cache.find(1));
  auto g = e.get(1);
  ASSERT_TRUE(g.ok() && *g);
  EXPECT_EQ((*g)->vector, newer.vector);
  EXPECT_EQ((*g)->fields, newer.fields);
  EXPECT_EQ(e.vector_index()->vector(1), newer.vector);
  // A deleted node whose stale copy was a candidate stays deleted.
  ASSERT_TRUE(e.delete_node(1, "").ok());
  ASSERT_TRUE(e.consolidate_node(newer, false).ok());
  EXPECT_FALSE(*e.get(1));
  EXPECT_FALSE(*e.backend->get(Partition::kDefault, node_key(1)));
  EXPECT_TRUE(engine_disagreements(e).empty());
}

TEST(Eviction, PassCountersAndReadOnly) {
  WriterRig rig;
  StorageEngine& e = *rig.engine;
  for (NodeId id = 1; id <= 10; ++id) {
    EngineNode n = test_node(id);
    n.tier = id <= 9 ? Tier::kHot : Tier::kCold;
    ASSERT_TRUE(e.insert(n).ok());
  }
  auto& k = OperationalCounters::global();
  const uint64_t ev = k.evicted_nodes.read(), cand = k.eviction_candidates.read();
  auto r = e.run_eviction(0.2, true, false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->candidates, 9u);
  EXPECT_EQ(r->evicted, 1u);
  EXPECT_TRUE(r->limit_exceeded);
  EXPECT_EQ(e.memory_budget->over_limit_evictions.load(), 1u);
  EXPECT_EQ(k.evicted_nodes.read() - ev, 1u);
  EXPECT_EQ(k.eviction_candidates.read() - cand, 9u);
  EXPECT_TRUE(engine_disagreements(e).empty());
  Config c;
  c.read_only = true;
  auto ro = testing::memory_engine(c);
  EXPECT_FALSE(ro->run_eviction(0.2, false, false).ok());
  EXPECT_FALSE(ro->consolidate_node(test_node(1), false).ok());
}

}  // namespace
}  // namespace zv
