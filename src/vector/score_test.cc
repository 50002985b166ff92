#include "src/vector/score.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>

namespace zv::alternate {
namespace {

constexpr auto kCos = DistanceMetric::kCosine;
constexpr auto kEuc = DistanceMetric::kEuclidean;
constexpr auto kDot = DistanceMetric::kSparseDot;

VectorRepr mapped(const std::vector<float>& values, size_t shift) {
  auto buf = std::make_shared<std::vector<unsigned char>>(values.size() * 4 + shift + 4);
  std::memcpy(buf->data() + shift, values.data(), values.size() * 4);
  return VectorRepr::mmap_full(MappedVector(buf, buf->data() + shift, values.size() * 4));
}

TEST(ScoreTest, EveryFormAndMetric) {
  const std::vector<uint64_t> bq1 = {0xFFull};
  const std::vector<uint64_t> bq_empty;
  const std::vector<uint8_t> tq = {0x21, 0xF7};  // (2,1), (-1,7)
  struct Case {
    const char* name;
    std::vector<float> q;
    QueryForms forms;
    VectorRepr stored;
    DistanceMetric metric;
    std::optional<float> want;  // none: cannot be compared
  };
  const float nan = std::nanf("");
  Case cases[] = {
      // Owned f32.
      {"f32 cosine", {1, 0}, {}, VectorRepr::f32({1, 1}), kCos, 1 / std::sqrt(2.0f)},
      {"f32 cosine with norm", {2, 0}, {.norm = 2.0f}, VectorRepr::f32({0, 3}), kCos, 0.0f},
      {"f32 cosine zero query", {0, 0}, {}, VectorRepr::f32({1, 1}), kCos, 0.0f},
      {"f32 cosine zero query with norm", {0, 0}, {.norm = 0.0f}, VectorRepr::f32({1, 1}), kCos, 0.0f},
      {"f32 cosine zero stored", {1, 1}, {}, VectorRepr::f32({0, 0}), kCos, 0.0f},
      {"f32 euclidean", {0, 0}, {}, VectorRepr::f32({3, 4}), kEuc, -25.0f},
      {"f32 sparse dot", {1, 0}, {}, VectorRepr::f32({1, 0}), kDot, 0.0f},
      {"f32 other length", {1, 0}, {}, VectorRepr::f32({1, 0, 0}), kEuc, std::nullopt},
      {"f32 other length cosine", {1, 0}, {}, VectorRepr::f32({1}), kCos, std::nullopt},
      {"f32 empty", {}, {}, VectorRepr::f32({}), kEuc, std::nullopt},
      // Mapped f32, read from its true start.
      {"mapped misaligned euclidean", {1, 2, 3}, {}, mapped({1, 2, 5}, 1), kEuc, -4.0f},
      {"mapped misaligned cosine", {1, 0}, {}, mapped({5, 0}, 2), kCos, 1.0f},
      {"mapped without view", {1}, {}, VectorRepr::mmap_full(std::nullopt), kEuc, std::nullopt},
      // 8-bit codes.
      {"sq8 euclidean", {2, 0}, {}, VectorRepr::sq8(2.0f, {127, 0}), kEuc, -0.0f},
      {"sq8 cosine", {2, 0}, {}, VectorRepr::sq8(2.0f, {127, 0}), kCos, 1.0f},
      {"sq8 cosine zero codes", {2, 0}, {}, VectorRepr::sq8(2.0f, {0, 0}), kCos, 0.0f},
      {"sq8 sparse dot", {2, 0}, {}, VectorRepr::sq8(2.0f, {127, 0}), kDot, 0.0f},
      {"sq8 long euclidean", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, {},
       VectorRepr::sq8(127.0f, {1, 1, 1, 1, 1, 1, 1, 1, 1, 3}), kEuc, -4.0f},
      {"sq8 other length", {1, 2, 3}, {}, VectorRepr::sq8(1.0f, {1, 2}), kEuc, std::nullopt},
      // Bit codes.
      {"binary with query", {}, {.binary = bq1}, VectorRepr::binary({0x0F, 0xFF}), kEuc,
       1.0f - 4.0f / 64.0f},
      {"binary empty query is NaN", {}, {.binary = bq_empty}, VectorRepr::binary({1}), kCos, nan},
      {"binary without query form", {1}, {}, VectorRepr::binary({1}), kCos, std::nullopt},
      // 4-bit codes: 2*1 + 1*(-1) + (-1)*(-1) + 7*7 = 51, times 0.5 / 49.
      {"turbo with query", {}, {.turbo = TurboQuery{tq, 0.5f}}, VectorRepr::turbo({0x1F, 0xF7}),
       kCos, 51.0f * 0.5f / 49.0f},
      {"turbo without query form", {1}, {}, VectorRepr::turbo({1}), kEuc, std::nullopt},
      {"none", {1}, {}, VectorRepr::none(), kEuc, std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = try_score_vector(c.q, c.forms, c.stored, c.metric);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.name;
    EXPECT_EQ(std::bit_cast<uint32_t>(score_vector(c.q, c.forms, c.stored, c.metric)),
              std::bit_cast<uint32_t>(got.value_or(0.0f)))
        << c.name;
    if (!got) continue;
    if (std::isnan(*c.want)) {
      EXPECT_TRUE(std::isnan(*got)) << c.name;
    } else {
      EXPECT_NEAR(*got, *c.want, 1e-5) << c.name;
      EXPECT_EQ(std::signbit(*got), std::signbit(*c.want)) << c.name;
    }
  }
}

TEST(ScoreTest, MisalignedMappedMatchesOwnedCopy) {
  std::vector<float> v(19), q(19);
  for (size_t i = 0; i < v.size(); ++i) {
    v[i] = 0.5f * i - 3;
    q[i] = 1.0f / (i + 1);
  }
  for (size_t shift = 0; shift < 4; ++shift) {
    for (auto metric : {kCos, kEuc}) {
      EXPECT_EQ(score_vector(q, {}, mapped(v, shift), metric),
                score_vector(q, {}, VectorRepr::f32(v), metric))
          << "shift " << shift;
    }
  }
}

}  // namespace
}  // namespace zv::alternate
