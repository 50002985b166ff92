// Flushes while writer threads keep inserting, deleting and batch inserting:
// every flush stores a checkpoint, and an engine dropped without a last flush
// (the durable test backend then loses whatever it was not told to keep)
// reopens with every acknowledged write.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "src/storage/checkpoint_store.h"
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/open_fixture.h"

namespace zv {
namespace {

class FlushConcurrent : public testing::OpenFixture {};

TEST_F(FlushConcurrent, CheckpointsUnderSteadyWritesLoseNothing) {
  constexpr int kWriters = 3;
  constexpr NodeId kPerWriter = 1000;
  std::mutex mu;
  std::map<NodeId, bool> acked;  // id -> live
  {
    auto e = open_ok();
    ASSERT_TRUE(e);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        const NodeId base = 1 + static_cast<NodeId>(w) * kPerWriter;
        for (NodeId i = 0; i + 3 < kPerWriter && !stop.load(); i += 4) {
          const NodeId id = base + i;
          if (e->insert(node(id)).ok()) {
            std::scoped_lock l(mu);
            acked[id] = true;
          }
          std::vector<EngineNode> batch{node(id + 1), node(id + 2)};
          if (e->batch_insert_with_opts(batch, {}).ok()) {
            std::scoped_lock l(mu);
            acked[id + 1] = acked[id + 2] = true;
          }
          if (e->delete_node(id, "test").ok()) {
            std::scoped_lock l(mu);
            acked[id] = false;
          }
        }
      });
    }
    uint64_t last = 0;
    for (int f = 0; f < 15; ++f) {
      // Each flush comes after new writes (bounded wait: the writers may end).
      for (int spin = 0; spin < 1000 && e->wal->positions_handed_out() == last; ++spin)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ASSERT_TRUE(e->flush().ok());
      auto cp = read_checkpoint(*e->backend);
      ASSERT_TRUE(cp.ok());
      EXPECT_GE(*cp, last);
      EXPECT_LE(*cp, e->wal->positions_handed_out());
      last = *cp;
    }
    EXPECT_GT(last, 0u);
    stop = true;
    for (auto& t : writers) t.join();
  }
  auto e = open_ok();
  ASSERT_TRUE(e);
  for (const auto& [id, live] : acked) {
    auto g = e->get(id);
    ASSERT_TRUE(g.ok());
    EXPECT_EQ(g->has_value(), live) << node_id_to_string(id);
  }
  EXPECT_TRUE(testing::engine_disagreements(*e).empty());
}

}  // namespace
}  // namespace zv
