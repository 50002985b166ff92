// Readers with co-access prefetch against a writer that replaces and deletes
// nodes and then clears their cache entries, as the engine's writers do.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "src/storage/storage_engine.h"
#include "src/storage/testing/engine_fixture.h"

namespace zv {
namespace {

constexpr NodeId kNodes = 24;

EngineNode version_of(NodeId id, int64_t version) {
  EngineNode n = testing::test_node(id, VectorRepr::f32({float(id), float(version)}));
  n.set_field("version", FieldValue::integer(version));
  return n;
}

// The writer's order: storage first, then the cache entry goes (bumping the
// generation).
void rewrite(StorageEngine& e, NodeId id, int64_t version, bool deleted) {
  EngineNode n = version_of(id, version);
  if (deleted) n.flags |= kNodeFlagDeleted;
  uint64_t offset;
  {
    auto lock = e.lock_segment0();
    offset = *e.segments[0]->file.append_node(n);
  }
  ASSERT_TRUE(e.vector_index()->add(id, FilterBitset(), n.vector, offset).ok());
  ASSERT_TRUE(e.backend->put(Partition::kDefault, node_key(id),
                             encode_node_metadata(node_metadata_of(n, 1))).ok());
  e.node_cache.remove(id);
}

TEST(NodeReadsConcurrent, PrefetchNeverLeavesAStaleCopyBehindAWriter) {
  auto e = testing::memory_engine();
  for (NodeId id = 1; id <= kNodes; ++id) testing::store_node(*e, version_of(id, 0));
  // Every node is a strong companion of its neighbours.
  for (int r = 0; r < 4; ++r)
    for (NodeId id = 1; id < kNodes; ++id)
      e->cache_warmer.record_access(std::vector<NodeId>{id, id + 1, (id + 5) % kNodes + 1});

  // The version each node's writer finished last (storage written, cache
  // entry removed). A cached copy older than that was inserted after the
  // writer cleared the entry: a stale copy that would be served from then on.
  std::vector<std::atomic<int64_t>> latest(kNodes + 1);
  std::atomic<uint64_t> stale{0};
  auto check = [&](NodeId id) {
    const int64_t done = latest[id].load(std::memory_order_acquire);
    auto cached = e->node_cache.find(id);
    if (cached && *cached->get_field("version")->if_int() < done) stale.fetch_add(1);
  };
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      uint64_t i = t;
      while (!stop.load(std::memory_order_relaxed)) {
        const NodeId id = i % kNodes + 1;
        switch (i % 4) {
          case 0:
          case 1: (void)e->get(id); break;
          case 2: (void)e->get_many(std::vector<NodeId>{id, id % kNodes + 1, id}); break;
          case 3: (void)e->scan_nodes_page("", 5); break;
        }
        check(id % kNodes + 1);
        ++i;
      }
    });
  }
  int64_t version = 1;
  for (int round = 0; round < 300; ++round, ++version) {
    for (NodeId id = 1; id <= kNodes; ++id) {
      rewrite(*e, id, version, round % 7 == 6 && id % 2);
      latest[id].store(version, std::memory_order_release);
    }
  }
  // Writers also clear entries they never stored.
  for (NodeId id = 2; id <= kNodes; id += 3) e->node_cache.remove(id);
  stop = true;
  for (auto& th : readers) th.join();

  EXPECT_EQ(stale.load(), 0u);
  // Whatever the cache holds now must be what storage holds.
  for (NodeId id = 1; id <= kNodes; ++id) {
    auto cached = e->node_cache.find(id);
    if (!cached) continue;
    auto stored = e->read_stored_node(id);
    ASSERT_TRUE(stored.ok());
    ASSERT_TRUE(stored->has_value()) << "deleted node " << node_id_to_string(id) << " cached";
    EXPECT_EQ(cached->fields, (*stored)->fields) << node_id_to_string(id);
    EXPECT_EQ(cached->vector, (*stored)->vector) << node_id_to_string(id);
  }
}

}  // namespace
}  // namespace zv
