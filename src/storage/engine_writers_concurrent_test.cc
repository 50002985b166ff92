#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "src/storage/testing/consistency.h"
#include "src/storage/testing/writer_fixture.h"

namespace zv {
namespace {

using testing::engine_disagreements;
using testing::WriterRig;

EngineNode random_node(std::mt19937_64& rng, NodeId id) {
  EngineNode n = EngineNode::create(id);
  std::uniform_real_distribution<float> d(0.1f, 1.0f);
  n.vector = VectorRepr::f32({d(rng), d(rng), d(rng), d(rng)});
  n.set_field("k", FieldValue::integer(static_cast<int64_t>(rng() % 5)));
  n.tier = rng() % 2 ? Tier::kHot : Tier::kCold;
  return n;
}

// Eight threads that never pause mix every writer with both reads on a
// small id range; afterwards partition 0, the index and the store agree.
TEST(WritersConcurrent, MixedWritersAndReadersLeaveTheEngineConsistent) {
  Config c;
  c.memory_pressure_ratio = 0;  // the machine's load must not refuse writes
  WriterRig rig(c, true);
  StorageEngine& e = *rig.engine;
  e.node_cache_capacity = 16;
  constexpr NodeId kIds = 64;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(t);
      for (int i = 0; i < 150; ++i) {
        const NodeId id = 1 + rng() % kIds;
        switch (rng() % 5) {
          case 0:
            if (!e.insert(random_node(rng, id)).ok()) ++failures;
            break;
          case 1:
            if (!e.delete_node(id, "churn").ok()) ++failures;
            break;
          case 2: {
            std::vector<EngineNode> b;
            for (int j = 0; j < 8; ++j) b.push_back(random_node(rng, 1 + rng() % kIds));
            if (!e.batch_insert_with_opts(b, {}).ok()) ++failures;
            break;
          }
          case 3: {
            auto g = e.get(id);
            if (!g.ok()) ++failures;
            break;
          }
          default: {
            std::vector<NodeId> ids{id, 1 + rng() % kIds, 1 + rng() % kIds};
            if (!e.get_many(ids).ok()) ++failures;
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  const auto problems = engine_disagreements(e);
  EXPECT_TRUE(problems.empty()) << problems.size() << " first: " << (problems.empty() ? "" : problems[0]);
  // The cache holds what storage holds.
  std::vector<NodeId> cached;
  {
    std::shared_lock l(e.node_cache.mutex());
    for (const auto& [id, n] : e.node_cache.map_locked()) cached.push_back(id);
  }
  for (NodeId id : cached) {
    auto stored = e.read_stored_node(id);
    ASSERT_TRUE(stored.ok());
    ASSERT_TRUE(*stored) << node_id_to_string(id) << " cached but not stored";
    EXPECT_EQ((*stored)->vector, e.node_cache.find(id)->vector);
  }
}

}  // namespace
}  // namespace zv
