#include <gtest/gtest.h>

#include <algorithm>
#include <bit>

#include "src/index/ivf_index.h"
#include "src/index/kmeans.h"
#include "src/index/testing/vector_data.h"

namespace zv {
namespace {

std::vector<IvfEntry> entries_from(const std::vector<float>& data, size_t dim) {
  std::vector<IvfEntry> out;
  for (size_t i = 0; i < data.size() / dim; ++i)
    out.push_back({NodeId{i + 1}, FilterBitset(),
                   std::vector<float>(data.begin() + i * dim, data.begin() + (i + 1) * dim)});
  return out;
}

std::span<const uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(KMeansTest, SeededDeterministicAndConverged) {
  const auto data = testing::clustered_vectors(600, 8, 6, 0.05f, 3, 4);
  std::vector<F32View> pts;
  for (size_t i = 0; i < 600; ++i) pts.emplace_back(data.data() + i * 8, 8);
  for (DistanceMetric m : {DistanceMetric::kCosine, DistanceMetric::kEuclidean}) {
    KMeansResult a = train_kmeans(pts, 8, 6, m);
    KMeansResult b = train_kmeans(pts, 8, 6, m);
    EXPECT_EQ(a.centroids, b.centroids);
    EXPECT_EQ(a.assignment, b.assignment);
    ASSERT_EQ(a.centroids.size(), 6u);
    ASSERT_LT(a.passes, kKMeansMaxPasses) << "converged";
    // At convergence every point sits with its best centroid, and each
    // centroid is the mean of its points.
    std::vector<std::vector<double>> sum(6, std::vector<double>(8, 0.0));
    std::vector<size_t> count(6, 0);
    for (size_t i = 0; i < 600; ++i) {
      const uint32_t mine = a.assignment[i];
      for (size_t j = 0; j < 6; ++j)
        EXPECT_GE(ivf_score(pts[i], a.centroids[mine], m), ivf_score(pts[i], a.centroids[j], m));
      for (size_t x = 0; x < 8; ++x) sum[mine][x] += pts[i][x];
      ++count[mine];
    }
    for (size_t j = 0; j < 6; ++j) {
      ASSERT_GT(count[j], 0u);
      for (size_t x = 0; x < 8; ++x)
        EXPECT_NEAR(a.centroids[j][x], sum[j][x] / count[j], 1e-4) << j;
    }
  }
  // Another order of the same points is another (seeded) run.
  std::vector<F32View> reversed(pts.rbegin(), pts.rend());
  EXPECT_EQ(train_kmeans(reversed, 8, 6, DistanceMetric::kEuclidean).centroids.size(), 6u);
}

TEST(KMeansTest, EmptyClusterIsReseededNotDropped) {
  // Four copies of one point and k = 3: two centroids start equal, one of
  // them loses every point on the first pass and is re-seeded from a point.
  std::vector<float> p = {1, 1};
  std::vector<F32View> pts(4, F32View(p));
  KMeansResult r = train_kmeans(pts, 2, 3, DistanceMetric::kEuclidean);
  ASSERT_EQ(r.centroids.size(), 3u);
  for (const auto& c : r.centroids) EXPECT_EQ(c, p);
  for (uint32_t a : r.assignment) EXPECT_EQ(a, 0u) << "ties go to the lower index";
}

TEST(IvfIndexTest, ListCountsAndEmptyInputs) {
  const auto data = testing::gaussian_vectors(5, 4, 1);
  struct Case {
    uint64_t nlist;
    size_t lists;
  };
  for (Case c : {Case{0, 1}, Case{2, 2}, Case{99, 5}}) {
    IvfIndex ivf = IvfIndex::build(entries_from(data, 4), c.nlist, 10, DistanceMetric::kEuclidean);
    EXPECT_EQ(ivf.centroids().size(), c.lists) << c.nlist;
    EXPECT_EQ(ivf.lists().size(), c.lists) << c.nlist;
    EXPECT_EQ(ivf.entry_count(), 5u);
    EXPECT_EQ(ivf.nlist(), c.nlist);
  }
  IvfIndex empty = IvfIndex::build({}, 7, 10, DistanceMetric::kCosine);
  EXPECT_TRUE(empty.centroids().empty());
  EXPECT_TRUE(empty.search(std::vector<float>{1, 2}, 3, FilterBitset::unfiltered()).empty());
  EXPECT_EQ(empty.nlist(), 7u);
}

TEST(IvfIndexTest, WrongLengthEntriesStayOutAndAreNeverScored) {
  // A longer entry would overflow the d-component sums; a shorter one would
  // score 0 (cosine) or -0 (Euclidean) and outrank real matches.
  std::vector<IvfEntry> e = {{1, {}, {1, 0, 0}},
                             {2, {}, {0, 1, 0}},
                             {3, {}, {1, 1, 1, 1, 1, 1}},
                             {4, {}, {1}},
                             {5, {}, {}},
                             {6, {}, {0.9f, 0.1f, 0}}};
  for (DistanceMetric m : {DistanceMetric::kCosine, DistanceMetric::kEuclidean}) {
    IvfIndex ivf = IvfIndex::build(e, 2, 10, m);
    EXPECT_EQ(ivf.entry_count(), 3u);
    for (const auto& c : ivf.centroids()) EXPECT_EQ(c.size(), 3u);
    auto hits = ivf.search(std::vector<float>{-1, -1, -1}, 10, FilterBitset::unfiltered());
    ASSERT_EQ(hits.size(), 3u);
    for (const auto& h : hits) EXPECT_TRUE(h.id == 1 || h.id == 2 || h.id == 6);
  }
  // A loaded blob may hold entries of any length: searches skip them.
  auto odd = IvfIndex::build({{9, {}, {5, 5, 5}}}, 1, 1, DistanceMetric::kCosine);
  EXPECT_TRUE(odd.search(std::vector<float>{1, 0}, 5, FilterBitset::unfiltered()).empty());
}

TEST(IvfIndexTest, SearchProbesBestListsAndFilters) {
  // Two far clusters; nprobe 1 scans only the nearer one.
  std::vector<IvfEntry> e;
  for (uint64_t i = 0; i < 5; ++i) e.push_back({i + 1, FilterBitset({i}), {100.0f + i, 0}});
  for (uint64_t i = 0; i < 5; ++i) e.push_back({i + 11, FilterBitset({~0ull, 1ull << 6}), {-100.0f - i, 0}});
  IvfIndex ivf = IvfIndex::build(e, 2, 1, DistanceMetric::kEuclidean);
  auto hits = ivf.search(std::vector<float>{101, 0}, 10, FilterBitset::unfiltered());
  ASSERT_EQ(hits.size(), 5u);
  EXPECT_EQ(hits[0].id, 2u);
  EXPECT_FLOAT_EQ(hits[0].score, 0.0f);
  EXPECT_FLOAT_EQ(hits[1].score, -1.0f);
  for (const auto& h : hits) EXPECT_LE(h.id, 5u);
  // Bit 70 needs a second word.
  FilterBitset bit70;
  bit70.set(70);
  hits = ivf.search(std::vector<float>{-101, 0}, 10, bit70);
  EXPECT_EQ(hits.size(), 5u);
  hits = ivf.search(std::vector<float>{101, 0}, 10, bit70);
  EXPECT_TRUE(hits.empty());
  hits = ivf.search(std::vector<float>{101, 0}, 2, FilterBitset({0b10}));
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, 3u);  // filter word 2 = 0b10
  EXPECT_TRUE(ivf.search(std::vector<float>{101, 0}, 0, FilterBitset::unfiltered()).empty());
}

TEST(IvfIndexTest, BlobLayoutAndRoundTrip) {
  IvfIndex ivf = IvfIndex::build({{5, FilterBitset({3}), {1.0f, 0.0f}}}, 1, 10,
                                 DistanceMetric::kCosine);
  std::string blob;
  ivf.encode_to(&blob);
  ASSERT_EQ(blob.size(), 109u);
  auto back = IvfIndex::decode(as_bytes(blob));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, ivf);

  const auto data = testing::clustered_vectors(300, 16, 5, 0.1f, 9, 10);
  IvfIndex big = IvfIndex::build(entries_from(data, 16), 17, 3, DistanceMetric::kEuclidean);
  blob.clear();
  big.encode_to(&blob);
  back = IvfIndex::decode(as_bytes(blob));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, big);
  // Every strict prefix is refused.
  for (size_t cut = 0; cut < blob.size(); cut += 7)
    EXPECT_FALSE(IvfIndex::decode(as_bytes(blob).first(cut))) << cut;
}

TEST(IvfIndexTest, MalformedBlobsAreRefused) {
  IvfIndex ivf = IvfIndex::build({{5, FilterBitset({3}), {1.0f, 0.0f}}}, 1, 10,
                                 DistanceMetric::kCosine);
  std::string good;
  ivf.encode_to(&good);
  auto patched = [&](size_t at, uint64_t v, size_t width) {
    std::string b = good;
    for (size_t i = 0; i < width; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
    return b;
  };
  // Offsets: nlist 0, nprobe 8, metric 16, C 17, centroid 25 (8 + 8 bytes),
  // list count 41, entry count 49, id 57, bitset length 73, bitset 81.
  struct Case {
    const char* name;
    std::string blob;
  };
  const Case cases[] = {
      {"fewer lists than centroids", [&] {
         std::string b = patched(41, 0, 8);
         return b.substr(0, 49);
       }()},
      {"more lists than centroids", patched(41, 2, 8)},
      {"centroid count beyond bytes", patched(17, uint64_t{1} << 60, 8)},
      {"value count beyond bytes", patched(25, uint64_t{1} << 62, 8)},
      {"entry count beyond bytes", patched(49, 1000, 8)},
      {"bitset length beyond bytes", patched(73, 1000, 8)},
      {"bitset word count too large", patched(81, 5000, 4)},
      {"unknown metric byte", patched(16, 7, 1)},
      {"24 bytes", good.substr(0, 24)},
  };
  for (const Case& c : cases) EXPECT_FALSE(IvfIndex::decode(as_bytes(c.blob))) << c.name;
}

}  // namespace
}  // namespace zv

namespace zv {
namespace {

uint32_t score_bits(float f) { return std::bit_cast<uint32_t>(f); }

// What a search must return: every probed list scored entry by entry with
// ivf_score, everything sorted, the first top_k kept.
std::vector<ScoredCandidate> reference_search(const IvfIndex& ivf, std::span<const float> q,
                                              uint64_t top_k, const FilterBitset& filter) {
  std::vector<std::pair<float, size_t>> probes;
  for (size_t c = 0; c < ivf.centroids().size(); ++c)
    probes.push_back({ivf_score(q, ivf.centroids()[c], ivf.metric()), c});
  std::stable_sort(probes.begin(), probes.end(),
                   [](const auto& a, const auto& b) { return score_before(a.first, b.first); });
  std::vector<ScoredCandidate> all;
  for (size_t p = 0; p < std::min<size_t>(ivf.nprobe(), probes.size()); ++p)
    for (const IvfEntry& e : ivf.lists()[probes[p].second]) {
      if (!filter.is_unfiltered() && !FilterBitset::matches(e.filter, filter)) continue;
      if (e.vector.empty() || e.vector.size() != q.size()) continue;
      all.push_back({e.id, ivf_score(q, e.vector, ivf.metric())});
    }
  std::sort(all.begin(), all.end(), BestFirst{});
  all.resize(std::min<size_t>(all.size(), top_k));
  return all;
}

// Lists of every length around the four-row blocks, zero vectors, exact
// duplicates (ties broken by id), filters, zero and odd queries: the scan
// with cached norms and a bounded heap gives exactly the reference's ids
// and score bits.
TEST(IvfIndexTest, SearchEqualsScoringEveryCandidateAndSorting) {
  for (DistanceMetric metric : {DistanceMetric::kCosine, DistanceMetric::kEuclidean}) {
    for (size_t dim : {3, 8, 13}) {
      auto data = testing::clustered_vectors(300, dim, 7, 0.4f, dim, 1);
      std::vector<IvfEntry> entries = entries_from(data, dim);
      for (size_t i = 0; i < entries.size(); ++i) entries[i].filter = FilterBitset({1ull << (i % 3)});
      for (size_t i = 0; i < 20; ++i) entries[i].vector.assign(dim, 0.0f);
      for (size_t i = 20; i < 40; ++i) entries[i].vector = entries[40].vector;
      const IvfIndex ivf = IvfIndex::build(entries, 17, 4, metric);
      auto queries = testing::clustered_vectors(12, dim, 7, 0.4f, dim, 2);
      queries.insert(queries.end(), entries[40].vector.begin(), entries[40].vector.end());
      queries.insert(queries.end(), dim, 0.0f);
      for (size_t qi = 0; qi < queries.size() / dim; ++qi) {
        std::span<const float> q(queries.data() + qi * dim, dim);
        for (uint64_t k : {1, 3, 10, 1000})
          for (const FilterBitset& f : {FilterBitset::unfiltered(), FilterBitset({0b10})}) {
            SCOPED_TRACE("metric " + std::to_string(int(metric)) + " dim " + std::to_string(dim) +
                         " query " + std::to_string(qi) + " k " + std::to_string(k));
            const auto got = ivf.search(q, k, f);
            const auto want = reference_search(ivf, q, k, f);
            ASSERT_EQ(got.size(), want.size());
            for (size_t i = 0; i < got.size(); ++i) {
              EXPECT_EQ(got[i].id, want[i].id);
              EXPECT_EQ(score_bits(got[i].score), score_bits(want[i].score));
            }
          }
      }
    }
  }
}

}  // namespace
}  // namespace zv
