// The 8-bit form and quantization maintenance driven by node reads and
// flushes.
#include <gtest/gtest.h>

#include "src/runtime/operational_counters.h"
#include "src/storage/quantization.h"
#include "src/storage/testing/engine_fixture.h"

namespace zv {
namespace {

TEST(Quantization, EightBitForm) {
  struct Case {
    std::vector<float> x;
    std::vector<int8_t> codes;
    float scale;
  } cases[] = {
      {{0.5f, -1.0f}, {64, -127}, 1.0f},
      {{0.0f, 0.0f, 0.0f}, {0, 0, 0}, 1.0f},
      {{}, {}, 1.0f},
      {{2.0f, -0.5f, 1.0f}, {127, -32, 64}, 2.0f},
      {{1e-9f, -1e-9f}, {0, 0}, 1.0f},  // below 2^-23: scale 1
  };
  for (const Case& c : cases) {
    const Sq8Code q = quantize_sq8(c.x);
    EXPECT_EQ(q.codes, c.codes);
    EXPECT_EQ(q.scale, c.scale);
  }
}

TEST(Quantization, ColdNodesQuantizeAndHotOnesComeBack) {
  auto e = testing::memory_engine();
  const VectorRepr original = VectorRepr::f32({0.5f, -1.0f, 0.25f});
  testing::store_node(*e, testing::test_node(1, original));
  testing::store_node(*e, testing::test_node(2, VectorRepr::f32({1.0f, 2.0f, 3.0f})));  // never read
  testing::store_node(*e, testing::test_node(3, VectorRepr::f32({1.0f, 1.0f, 3.0f})));
  auto index = e->vector_index();
  auto& counters = OperationalCounters::global();
  const uint64_t quantized = counters.vectors_quantized.read();
  const uint64_t promoted = counters.vectors_promoted.read();

  ASSERT_TRUE(e->get(1).ok());
  ASSERT_TRUE(e->get(3).ok());
  index->remove(3);  // tracked, no longer indexed: never a candidate
  for (int flush = 1; flush <= 100; ++flush) ASSERT_TRUE(e->flush().ok());
  EXPECT_EQ(index->is_sq8(1), false);
  ASSERT_TRUE(e->flush().ok());  // the 101st
  EXPECT_EQ(index->is_sq8(1), true);
  EXPECT_EQ(index->is_sq8(2), false);
  EXPECT_EQ(index->vector(1), VectorRepr::sq8(1.0f, {64, -127, 32}));
  EXPECT_EQ(counters.vectors_quantized.read(), quantized + 1);
  EXPECT_FALSE(e->access_tracker->entry(1));  // forgotten

  // Four reads do not make a promote candidate, five do. The read returns
  // the stored full-precision vector, which goes back into the index.
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(e->get(1).ok());
  auto s = e->quantization_maintenance();
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->examined, 0u);
  EXPECT_EQ(index->is_sq8(1), true);
  ASSERT_TRUE(e->get(1).ok());
  s = e->quantization_maintenance();
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->examined, 1u);
  EXPECT_EQ(s->promoted, 1u);
  EXPECT_EQ(index->is_sq8(1), false);
  EXPECT_EQ(index->vector(1), original);
  EXPECT_EQ(counters.vectors_promoted.read(), promoted + 1);
  EXPECT_FALSE(e->access_tracker->entry(1));
}

TEST(Quantization, DisabledTrackerStillAdvancesTheEpoch) {
  auto e = testing::memory_engine();
  testing::store_node(*e, testing::test_node(1));
  ASSERT_TRUE(e->get(1).ok());
  e->access_tracker->enabled = false;
  e->access_tracker->current_epoch = 500;
  auto s = e->quantization_maintenance();
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s->examined, 0u);
  EXPECT_EQ(e->access_tracker->current_epoch.load(), 501u);
}

}  // namespace
}  // namespace zv
