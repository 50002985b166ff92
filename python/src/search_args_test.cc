#include "python/src/search_args.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/log.h"
#include "python/src/vectors.h"

namespace zv::py {
namespace {

TEST(ClampTopKTest, CeilingAndItsWarning) {
  struct Case {
    uint64_t requested;
    uint64_t expected;
    bool warned;
  };
  const Case cases[] = {
      {0, 0, false},
      {10, 10, false},
      {10000, 10000, false},
      {10001, 10000, true},
      {20000, 10000, true},
      {std::numeric_limits<uint64_t>::max(), 10000, true},
  };
  for (const Case& c : cases) {
    log::CaptureSink sink(log::Level::kWarn);
    EXPECT_EQ(lib::clamp_top_k(c.requested), c.expected) << c.requested;
    auto events = sink.events();
    ASSERT_EQ(events.size(), c.warned ? 1u : 0u) << c.requested;
    if (!c.warned) continue;
    const std::string text = "top_k=" + std::to_string(c.requested) +
                             " exceeds MAX_K=10000; clamping to 10000 (ERR-022)";
    EXPECT_EQ(events[0].level, log::Level::kWarn);
    ASSERT_EQ(events[0].fields.size(), 1u);
    EXPECT_EQ(events[0].fields[0].first, "message");
    EXPECT_EQ(events[0].fields[0].second, text);
  }
  // Nothing is recorded without a sink, and the value is the same.
  EXPECT_EQ(lib::clamp_top_k(20000), 10000u);
}

// The score of a hit's repr and the ends of a long Vector's repr.
TEST(Fixed4TextTest, FourDecimalsAndSpecialValues) {
  struct Case {
    float score;
    const char* text;
  };
  const Case cases[] = {
      {0.123456f, "0.1235"},
      {1.0f, "1.0000"},
      {0.0f, "0.0000"},
      {-0.5f, "-0.5000"},
      {std::numeric_limits<float>::quiet_NaN(), "NaN"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
  };
  for (const Case& c : cases) EXPECT_EQ(fixed4_text(c.score), c.text);
}

}  // namespace
}  // namespace zv::py
