#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "src/index/testing/index_fixture.h"

namespace zv {
namespace {

// Cache builds walk the node records while inserts and removals change them;
// searches of both alternative kinds run beside each other.
TEST(AlternateCacheConcurrentTest, SearchesWhileNodesChange) {
  auto index = testing::make_index(testing::euclidean_config());
  for (NodeId i = 1; i <= 200; ++i)
    testing::add_at(*index, i, {float(i % 17), float(i % 5), float(i)});
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> searches{0};
  std::atomic<int> running{0};
  std::vector<std::thread> readers;
  for (uint8_t method : {uint8_t{1}, uint8_t{4}, uint8_t{1}}) {
    ++running;
    readers.emplace_back([&, method] {
      const std::vector<float> q = {3, 2, 50};
      auto search = [&] {
        while (!stop.load()) {
          auto r = index->search_by_method(method, q, FilterBitset::unfiltered(), 10,
                                           DistanceMetric::kEuclidean);
          ASSERT_TRUE(r.ok());
          for (const auto& c : *r) ASSERT_LE(c.id, NodeId{400});
          ++searches;
        }
      };
      search();
      --running;
    });
  }
  // The changes wait for searches now and then, so that they overlap
  // however the threads are scheduled.
  auto await_searches = [&](uint64_t more) {
    const uint64_t want = searches.load() + more;
    while (searches.load() < want && running.load() > 0) std::this_thread::yield();
  };
  for (NodeId round = 0; round < 200; ++round) {
    if (round % 20 == 0) await_searches(3);
    const NodeId id = 201 + round;
    EXPECT_TRUE(index->add(id, {}, VectorRepr::f32({1, 2, float(id)}), id).ok());
    index->remove(1 + round % 200);
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(searches.load(), 0u);
  auto final_hits = index->search_by_method(1, std::vector<float>{1, 2, 205},
                                            FilterBitset::unfiltered(), 1,
                                            DistanceMetric::kEuclidean);
  ASSERT_TRUE(final_hits.ok());
  ASSERT_EQ(final_hits->size(), 1u);
  EXPECT_EQ((*final_hits)[0].id, 205u);
}

}  // namespace
}  // namespace zv
