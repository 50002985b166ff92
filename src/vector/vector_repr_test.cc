#include "src/vector/vector_repr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "platform/file.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"

namespace zv {
namespace {

// A mapped-form vector over `len` bytes of a shared buffer, starting `shift`
// bytes past an aligned address, holding `values` from that true start.
VectorRepr shifted_mapped(const std::vector<float>& values, size_t shift, size_t len) {
  auto buf = std::make_shared<std::vector<unsigned char>>(len + shift + 8, 0xAB);
  if (!values.empty()) std::memcpy(buf->data() + shift, values.data(), values.size() * 4);
  const unsigned char* start = buf->data() + shift;
  return VectorRepr::mmap_full(MappedVector(buf, start, len));
}

TEST(VectorReprTest, F32ViewOfEachForm) {
  struct Case {
    const char* name;
    VectorRepr v;
    std::optional<std::vector<float>> view;
  };
  const std::vector<float> vals = {1.5f, -2.0f, 3.25f};
  Case cases[] = {
      {"f32", VectorRepr::f32(vals), vals},
      {"mapped aligned", shifted_mapped(vals, 0, 12), vals},
      {"mapped misaligned by 1", shifted_mapped(vals, 1, 12), vals},
      {"mapped misaligned by 3", shifted_mapped(vals, 3, 12), vals},
      {"mapped trailing bytes ignored", shifted_mapped(vals, 2, 14), vals},
      {"mapped 3 bytes", shifted_mapped({}, 0, 3), std::nullopt},
      {"mapped without region", VectorRepr::mmap_full(std::nullopt), std::nullopt},
      {"sq8", VectorRepr::sq8(1.0f, {1, 2}), std::nullopt},
      {"binary", VectorRepr::binary({1}), std::nullopt},
      {"turbo", VectorRepr::turbo({1}), std::nullopt},
      {"none", VectorRepr::none(), std::nullopt},
  };
  for (const Case& c : cases) {
    auto view = c.v.as_f32_slice();
    ASSERT_EQ(view.has_value(), c.view.has_value()) << c.name;
    if (view) {
      EXPECT_EQ(view->to_vector(), *c.view) << c.name;
    }
  }
}

TEST(VectorReprTest, MappedLengthLimits) {
  EXPECT_FALSE(shifted_mapped({}, 0, kMaxMappedVectorBytes + 1).as_f32_slice()) << "40,000,004";
  auto big = shifted_mapped({}, 0, kMaxMappedVectorBytes).as_f32_slice();
  ASSERT_TRUE(big);
  EXPECT_EQ(big->size(), 10'000'000u);
}

TEST(VectorReprTest, MappedRegionInsideFileMapping) {
  testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "v.bin");
  std::string bytes(64, '\0');
  const float vals[2] = {7.0f, -1.0f};
  std::memcpy(bytes.data() + 5, vals, 8);  // misaligned inside the file
  ASSERT_TRUE(fs::write_file(path, bytes).ok());
  auto file = File::open_read(path);
  ASSERT_TRUE(file.ok());
  auto map = MemoryMap::map_file(*file, false);
  ASSERT_TRUE(map.ok());
  auto shared = std::make_shared<const MemoryMap>(std::move(*map));
  EXPECT_FALSE(MappedVector::in_map(shared, 60, 8)) << "region past the end";
  auto region = MappedVector::in_map(shared, 5, 8);
  ASSERT_TRUE(region);
  VectorRepr v = VectorRepr::mmap_full(*region);
  shared.reset();  // the vector keeps the mapping alive
  auto copy = v.to_f32_vec();
  ASSERT_TRUE(copy);
  EXPECT_EQ(*copy, std::vector<float>({7.0f, -1.0f}));
}

TEST(VectorReprTest, F32CopyOfEachForm) {
  struct Case {
    const char* name;
    VectorRepr v;
    std::optional<std::vector<float>> copy;
  };
  Case cases[] = {
      {"sq8 decodes code*scale/127", VectorRepr::sq8(2.0f, {127, 0, -127}),
       std::vector<float>{2.0f, 0.0f, -2.0f}},
      {"f32", VectorRepr::f32({1, 2}), std::vector<float>{1, 2}},
      {"mapped misaligned", shifted_mapped({4, 5}, 1, 8), std::vector<float>{4, 5}},
      {"binary", VectorRepr::binary({3}), std::nullopt},
      {"turbo", VectorRepr::turbo({3}), std::nullopt},
      {"none", VectorRepr::none(), std::nullopt},
      {"mapped without region", VectorRepr::mmap_full(std::nullopt), std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(c.v.to_f32_vec(), c.copy) << c.name;
}

TEST(VectorReprTest, CloneDeepCopiesOwnedAndSharesMapped) {
  VectorRepr owned = VectorRepr::f32({1, 2, 3});
  VectorRepr c1 = owned.clone();
  EXPECT_EQ(c1, owned);
  EXPECT_NE(c1.as_f32()->data(), owned.as_f32()->data());
  VectorRepr mapped = shifted_mapped({1, 2}, 0, 8);
  VectorRepr c2 = mapped.clone();
  EXPECT_EQ(c2.as_f32_slice()->bytes(), mapped.as_f32_slice()->bytes());
  EXPECT_EQ(VectorRepr::none().clone().kind(), VectorKind::kNone);
}

TEST(VectorReprTest, PayloadBytes) {
  struct Case {
    VectorRepr v;
    uint64_t bytes;
  };
  Case cases[] = {{VectorRepr::binary({1, 2}), 16}, {VectorRepr::turbo({1, 2, 3}), 3},
                  {VectorRepr::sq8(1, {1, 2, 3}), 7}, {VectorRepr::f32({1, 2, 3}), 12},
                  {shifted_mapped({1}, 0, 4), 0},     {VectorRepr::none(), 0}};
  for (const Case& c : cases)
    EXPECT_EQ(c.v.payload_bytes(), c.bytes) << static_cast<int>(c.v.kind());
}

TEST(VectorReprTest, CachedNorms) {
  EXPECT_EQ(cached_norms(std::vector<float>{3, 4}), (CachedNorms{0.2f, 25.0f}));
  EXPECT_EQ(cached_norms(std::vector<float>{1e-8f}), CachedNorms{});
  EXPECT_EQ(cached_norms(std::vector<float>{}), CachedNorms{});
  EXPECT_EQ(node_norms(DistanceMetric::kSparseDot, VectorRepr::f32({3, 4})), CachedNorms{});
  EXPECT_EQ(node_norms(DistanceMetric::kEuclidean, VectorRepr::sq8(1, {3, 4})), CachedNorms{});
  EXPECT_EQ(node_norms(DistanceMetric::kCosine, shifted_mapped({3, 4}, 1, 8)),
            (CachedNorms{0.2f, 25.0f}));
}

TEST(VectorReprTest, CosineSimilarity) {
  struct Case {
    const char* name;
    VectorRepr a, b;
    std::optional<float> want;
  };
  // Two 8-bit vectors are compared on their decoded values, so the scales
  // cancel: (127,0,5)·(127,1) / (|(127,0,5)| |(127,1)|).
  const float sq8_want = 16129.0f / (std::sqrt(16154.0f) * std::sqrt(16130.0f));
  Case cases[] = {
      {"sq8 pair normalised", VectorRepr::sq8(1.0f, {127, 0, 5}), VectorRepr::sq8(2.0f, {127, 1}),
       sq8_want},
      {"sq8 same direction is 1", VectorRepr::sq8(1.0f, {10, 20}), VectorRepr::sq8(3.0f, {20, 40}),
       1.0f},
      {"sq8 opposite is -1", VectorRepr::sq8(1.0f, {10, -20}), VectorRepr::sq8(1.0f, {-10, 20}),
       -1.0f},
      {"sq8 zero codes", VectorRepr::sq8(1.0f, {0, 0}), VectorRepr::sq8(1.0f, {1, 2}), std::nullopt},
      {"sq8 zero scale", VectorRepr::sq8(0.0f, {5, 5}), VectorRepr::sq8(1.0f, {1, 2}), std::nullopt},
      {"sq8 with f32", VectorRepr::sq8(1.0f, {1}), VectorRepr::f32({1}), std::nullopt},
      {"zero vector", VectorRepr::f32({0, 0}), VectorRepr::f32({1, 0}), std::nullopt},
      {"orthogonal", VectorRepr::f32({1, 0}), VectorRepr::f32({0, 1}), 0.0f},
      {"lengths 3 and 4", VectorRepr::f32({1, 2, 3}), VectorRepr::f32({1, 2, 3, 4}), std::nullopt},
      {"empty", VectorRepr::f32({}), VectorRepr::f32({}), std::nullopt},
      {"mapped misaligned with f32", shifted_mapped({1, 1}, 3, 8), VectorRepr::f32({2, 2}), 1.0f},
      {"binary", VectorRepr::binary({1}), VectorRepr::binary({1}), std::nullopt},
      {"none", VectorRepr::none(), VectorRepr::f32({1}), std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = VectorRepr::cosine_similarity(c.a, c.b);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.name;
    if (got) {
      EXPECT_NEAR(*got, *c.want, 1e-6) << c.name;
    }
  }
}

TEST(VectorReprTest, CosineSimilarityLongVectorsMatchDoublePrecision) {
  std::vector<float> a(37), b(37);
  double dot = 0, na = 0, nb = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = std::sin(0.3 * i);
    b[i] = std::cos(0.7 * i);
    dot += double{a[i]} * b[i];
    na += double{a[i]} * a[i];
    nb += double{b[i]} * b[i];
  }
  auto got = VectorRepr::cosine_similarity(VectorRepr::f32(a), VectorRepr::f32(b));
  ASSERT_TRUE(got);
  EXPECT_NEAR(*got, dot / std::sqrt(na * nb), 1e-5);
}

TEST(VectorReprTest, MetricNames) {
  EXPECT_EQ(metric_name(DistanceMetric::kCosine), "Cosine");
  EXPECT_EQ(metric_name(DistanceMetric::kEuclidean), "Euclidean");
  EXPECT_EQ(metric_name(DistanceMetric::kSparseDot), "SparseDot");
  EXPECT_EQ(metric_from_byte(1), DistanceMetric::kEuclidean);
  EXPECT_FALSE(metric_from_byte(3));
}

}  // namespace
}  // namespace zv
