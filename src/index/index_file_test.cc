#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <cstdio>


#include "platform/log.h"

#include "src/index/index_file.h"
#include "src/index/ivf_index.h"
#include "src/index/testing/index_fixture.h"
#include "src/index/testing/index_file_layout.h"
#include "src/index/testing/resident.h"

namespace zv {
namespace {

using testing::add_at;
using testing::LayoutBytes;

std::span<const uint8_t> file_bytes_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The writer's bytes with written_at_ms replaced by the layout's value.
std::string written(const HnswIndex& index, const std::string& layout) {
  auto image = serialize_index(index);
  EXPECT_TRUE(image.ok());
  std::string out = *image;
  if (out.size() >= 16 && layout.size() >= 16) out.replace(8, 8, layout.substr(8, 8));
  return out;
}

std::string read_error(const std::string& bytes) {
  auto r = deserialize_index(file_bytes_of(bytes));
  return r.ok() ? std::string("<loaded>") : r.error().message();
}

TEST(IndexFileTest, GoldenEmptyFiles) {
  HnswConfig plain;  // flat threshold 10000, cosine
  HnswConfig custom;
  custom.flat_threshold = std::nullopt;
  custom.m = 7;
  custom.m_max0 = 9;
  custom.ef_construction = 11;
  custom.ef_search = 13;
  custom.ml = 0.5;
  custom.metric = DistanceMetric::kSparseDot;
  custom.index_type = static_cast<uint8_t>(IndexKind::kIvf);
  for (const HnswConfig& cfg : {plain, custom}) {
    HnswIndex index(cfg, IndexBacking::in_memory());
    LayoutBytes want;
    testing::layout_header(want, 8, cfg, 0, std::nullopt, 0);
    want.u8(0);  // no IVF index
    EXPECT_EQ(want.size(), cfg.flat_threshold ? 101u : 93u);
    EXPECT_EQ(written(index, want.str()), want.str());
    auto back = deserialize_index(file_bytes_of(want.str()));
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ((*back)->config(), cfg);
    EXPECT_TRUE((*back)->is_empty());
    EXPECT_FALSE((*back)->entry_point());
  }
}

TEST(IndexFileTest, GoldenSmallFileAndItsReading) {
  HnswConfig cfg = testing::euclidean_config();
  auto index = testing::make_index(cfg);
  add_at(*index, 1, {1, 2, 3}, 1);
  add_at(*index, 2, {4, 5, 6}, 0, FilterBitset({5}));
  ASSERT_TRUE(index->add(3, {}, VectorRepr::sq8(0.5f, {1, -2}), 33).ok());
  ASSERT_TRUE(index->add(4, {}, VectorRepr::binary({7, 8}), 44).ok());
  ASSERT_TRUE(index->add(5, {}, VectorRepr::turbo({9}), 55).ok());
  ASSERT_TRUE(index->add(6, {}, VectorRepr::none(), 66).ok());

  LayoutBytes want;
  testing::layout_header(want, 8, cfg, 1, NodeId{1}, 6);
  testing::layout_f32_node(want, 8, 1, {}, 1, {1, 2, 3}, {{2}, {}});
  testing::layout_f32_node(want, 8, 2, {5}, 2, {4, 5, 6}, {{1}});
  want.id(3).bitset({}).u64(33).u8(4).u64(2).u8(1).u8(0xFE).f32(0.5f).u64(1).u64(0);
  want.id(4).bitset({}).u64(44).u8(2).u64(2).u64(7).u64(8).u64(1).u64(0);
  want.id(5).bitset({}).u64(55).u8(3).u64(1).u8(9).u64(1).u64(0);
  want.id(6).bitset({}).u64(66).u8(0).u64(0).u64(1).u64(0);
  want.u8(0);
  ASSERT_EQ(want.str().substr(129, 3), std::string(3, '\0')) << "node 1's values are padded";
  EXPECT_EQ(written(*index, want.str()), want.str());

  auto back = deserialize_index(file_bytes_of(want.str()));
  ASSERT_TRUE(back.ok()) << back.error().message();
  const HnswIndex& r = **back;
  EXPECT_EQ(r.config(), cfg);
  EXPECT_EQ(r.entry_point(), NodeId{1});
  EXPECT_EQ(r.max_level(), 1u);
  EXPECT_EQ(r.len(), 6u);
  EXPECT_EQ(r.node_count(), 6u);
  for (NodeId id = 1; id <= 6; ++id) EXPECT_EQ(r.vector(id), index->vector(id)) << int(id);
  EXPECT_EQ(r.storage_offset(3), 33u);
  EXPECT_EQ(r.neighbors(1, 0), std::vector<NodeId>{2});
  EXPECT_EQ(r.node_layer_neighbors(2, 0), std::vector<NodeId>{1});
  EXPECT_EQ(r.node_level(1), 2u);
  EXPECT_EQ(r.reverse_link_count(1), 1u);
  EXPECT_EQ(r.reverse_link_count(2), 1u);
  for (const NodeSummary& s : r.node_summaries()) EXPECT_EQ(s.flags, 0u);
  EXPECT_FALSE(r.integrity_violations());
  // Reading it back and writing again gives the same bytes.
  EXPECT_EQ(written(r, want.str()), want.str());
}

TEST(IndexFileTest, OlderVersionsLoadWithTheirDefaults) {
  HnswConfig stored;
  stored.m = 5;
  stored.m_max0 = 6;
  stored.ef_construction = 7;
  stored.ef_search = 8;
  stored.ml = 0.25;
  stored.metric = DistanceMetric::kEuclidean;
  stored.flat_threshold = std::nullopt;
  const HnswConfig defaults;
  for (uint16_t v : {0, 1, 2, 3, 4, 5, 6, 7}) {
    LayoutBytes b;
    testing::layout_header(b, v, stored, 0, NodeId{9}, 1);
    testing::layout_f32_node(b, v, 9, {1}, 90, {0.5f, 1.5f}, {{}});
    b.raw("trailing bytes are ignored");
    auto r = deserialize_index(file_bytes_of(b.str()));
    ASSERT_TRUE(r.ok()) << v << ": " << r.error().message();
    const HnswConfig& c = (*r)->config();
    HnswConfig want = defaults;
    if (v >= 2) {
      want.m = 5;
      want.m_max0 = 6;
      want.ef_construction = 7;
      want.ef_search = 8;
      want.ml = 0.25;
    }
    if (v >= 3) want.metric = DistanceMetric::kEuclidean;
    if (v >= 7) want.flat_threshold = std::nullopt;
    EXPECT_EQ(c, want) << v;
    EXPECT_EQ((*r)->vector(9), VectorRepr::f32({0.5f, 1.5f})) << v;
    EXPECT_EQ((*r)->storage_offset(9), 90u) << v;
    EXPECT_EQ((*r)->entry_point(), NodeId{9}) << v;
  }
  // A version 1 file with no nodes is 49 bytes.
  LayoutBytes tiny;
  testing::layout_header(tiny, 1, defaults, 0, std::nullopt, 0);
  ASSERT_EQ(tiny.size(), 49u);
  EXPECT_EQ(read_error(tiny.str()), "<loaded>");
  EXPECT_EQ(read_error(tiny.str().substr(0, 24)), "Truncated ep_exists");
}

TEST(IndexFileTest, KindsOtherThanIvfComeBackAsHnsw) {
  for (IndexKind k : {IndexKind::kHnsw, IndexKind::kIvf, IndexKind::kFlat, IndexKind::kScann}) {
    HnswConfig cfg;
    cfg.index_type = static_cast<uint8_t>(k);
    HnswIndex index(cfg, IndexBacking::in_memory());
    auto back = deserialize_index(file_bytes_of(*serialize_index(index)));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ((*back)->index_type(),
              static_cast<uint8_t>(k == IndexKind::kIvf ? IndexKind::kIvf : IndexKind::kHnsw));
  }
}

// A version-8 file whose first node is large, so that every cut after it
// passes the node-count check and reaches the field it cuts.
LayoutBytes truncation_file() {
  HnswConfig cfg = testing::euclidean_config(500);
  cfg.index_type = static_cast<uint8_t>(IndexKind::kIvf);
  LayoutBytes b;
  testing::layout_header(b, 8, cfg, 1, NodeId{1}, 5);
  LayoutBytes ignored;  // marks of the first node are not cut
  std::vector<float> big(64, 1.0f);
  b.id(1).bitset({}).u64(0).u8(1).u64(big.size()).pad4();
  for (float x : big) b.f32(x);
  b.u64(1).u64(0);
  b.mark("node id").id(2).bitset({1}).mark("storage_offset").u64(2);
  b.mark("vec_type").u8(2).mark("vec_len").u64(2).mark("binary vec").u64(1).u64(2);
  b.mark("layer_count").u64(1).u64(0);
  b.id(3).bitset({}).u64(3).u8(3).u64(3).mark("turbo vec").u8(1).u8(2).u8(3).u64(0);
  b.id(4).bitset({}).u64(4).u8(4).u64(2).mark("sq8 vec").u8(1).u8(2).mark("sq8 scale").f32(1);
  b.u64(0);
  testing::layout_f32_node(b, 8, 5, {}, 5, {1, 2, 3}, {{1}, {2}});
  IvfIndex ivf = IvfIndex::build({{1, {}, {1, 2}}}, 1, 10, DistanceMetric::kEuclidean);
  std::string blob;
  ivf.encode_to(&blob);
  b.u8(1).mark("ivf_len").u64(blob.size()).mark("ivf_data").raw(blob);
  return b;
}

TEST(IndexFileTest, EveryTruncationFailsWithItsField) {
  const LayoutBytes file = truncation_file();
  ASSERT_EQ(read_error(file.str()), "<loaded>");
  EXPECT_EQ(read_error(file.str().substr(0, 23)), "Index file too small");
  EXPECT_EQ(read_error(""), "Index file too small");
  // The last place of each field: cuts in earlier lists of a node fail the
  // layer-count check first.
  std::map<std::string, size_t> last;
  for (const auto& [field, at] : file.marks()) last[field] = at;
  std::set<std::string> seen;
  for (const auto& [field, at] : last) {
    // Cut one byte into the field (at the field for one-byte fields).
    const bool one_byte = field == "vec_type" || field == "ep_exists";
    const std::string cut = file.str().substr(0, at + (one_byte ? 0 : 1));
    auto r = deserialize_index(file_bytes_of(cut));
    ASSERT_FALSE(r.ok()) << field;
    EXPECT_EQ(r.error().message(), "Truncated " + field) << "cut at " << at;
    EXPECT_EQ(r.error().kind(), IoErrorKind::kUnexpectedEof) << field;
    seen.insert(field);
  }
  const std::set<std::string> all = {
      "config.m",   "config.m_max0", "config.ef_construction", "config.ef_search",
      "config.ml",  "flat_threshold", "ep_exists", "ep_id", "node_count", "node id",
      "storage_offset", "vec_type", "vec_len", "f32 vec", "binary vec", "turbo vec",
      "sq8 vec", "sq8 scale", "layer_count", "neighbor_count", "neighbor ids", "ivf_len",
      "ivf_data"};
  EXPECT_EQ(seen, all);
  // Every prefix fails cleanly or loads; none crashes.
  size_t loaded = 0;
  for (size_t n = 0; n < file.size(); ++n)
    loaded += deserialize_index(file_bytes_of(file.str().substr(0, n))).ok();
  EXPECT_EQ(loaded, 1u) << "only the cut before the IVF block loads";
}

// Replaces `width` bytes at `at` with the little-endian v.
std::string patch(std::string s, size_t at, uint64_t v, size_t width = 8) {
  for (size_t i = 0; i < width; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
  return s;
}

TEST(IndexFileTest, ImplausibleValuesAreRejected) {
  HnswConfig cfg = testing::euclidean_config();
  LayoutBytes b;
  testing::layout_header(b, 8, cfg, 3, NodeId{1}, 1);
  const size_t node_at = b.size();
  testing::layout_f32_node(b, 8, 1, {}, 0, {1, 2}, {{}, {}, {}, {}});
  b.u8(0);
  const std::string good = b.str();
  ASSERT_EQ(read_error(good), "<loaded>");
  const size_t vec_type_at = node_at + 16 + 4 + 8;
  const size_t layers_at = good.size() - 1 - 4 * 8 - 8;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  auto ml = [&](double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    return patch(good, 56, u);
  };
  struct Case {
    std::string bytes;
    std::string message;
  };
  const Case cases[] = {
      {patch(good, vec_type_at + 1, uint64_t{1} << 62), "vec_len overflow (f32)"},
      {patch(patch(good, vec_type_at, 2, 1), vec_type_at + 1, uint64_t{1} << 61),
       "vec_len overflow (binary)"},
      {patch(good, layers_at, uint64_t{1} << 40), "layer_count (1099511627776) exceeds remaining data"},
      {patch(good, layers_at + 8, uint64_t{1} << 60), "neighbor_count overflow"},
      {patch(good, 16, 2), "layer_count (4) exceeds max_level + 1 (3)"},
      {patch(good, node_at - 8, 1000),
       "node_count (1000) exceeds plausible limit for " + std::to_string(good.size() - node_at) +
           " remaining bytes"},
      {ml(nan), "config.ml (nan) is not plausible"},
      {ml(inf), "config.ml (inf) is not plausible"},
      {ml(1e300), "config.ml (" + std::to_string(1e300) + ") is not plausible"},
      {ml(-1.0), "config.ml (-1.000000) is not plausible"},
      {patch(good, 16, uint64_t{1} << 40), "max_level (1099511627776) exceeds plausible limit"},
      {patch(good, 24, uint64_t{1} << 40), "config.m (1099511627776) is not plausible"},
      {patch(good, 32, uint64_t{1} << 40), "config.m_max0 (1099511627776) is not plausible"},
      {patch(good, 40, uint64_t{1} << 40), "config.ef_construction (1099511627776) is not plausible"},
      {patch(good, 48, ~uint64_t{0}), "config.ef_search (18446744073709551615) is not plausible"},
      {patch(good, node_at + 16, 5000, 4), "FilterBitset: word_count exceeds maximum"},
      {patch(good, 0, 'Y', 1).replace(3, 1, "Y"),
       "Incompatible binary format: expected magic [90, 78, 68, 88], version 8, found magic "
       "[89, 78, 68, 89], version 8. Hint: Index format mismatch: expected magic [90, 78, 68, "
       "88], found [89, 78, 68, 89]"},
      {patch(good, 4, 9, 2),
       "Incompatible binary format: expected magic [90, 78, 68, 88], version 8, found magic "
       "[90, 78, 68, 88], version 9. Hint: Index format mismatch: file version 9 is newer than "
       "this software (max 8)"},
  };
  for (const Case& c : cases) EXPECT_EQ(read_error(c.bytes), c.message);
}

// Damaged files whose counts describe far more than their bytes hold: each is
// refused, or loaded within a small multiple of its size (a slot and its id
// map entry cost about 300 bytes, so records of a few dozen bytes cannot
// come closer than about 7 times).
bool loads_within_eight_times_its_size(uint64_t count, uint64_t layers) {
  LayoutBytes b;
  testing::layout_header(b, 8, HnswConfig(), 256, NodeId{1}, count);
  for (uint64_t i = 0; i < count; ++i) {
    b.id(NodeId{i + 1}).bitset({}).u64(0).u8(0).u64(0).u64(layers);
    for (uint64_t l = 0; l < layers; ++l) b.u64(0);
  }
  const std::string file = b.str();
  const uint64_t before = testing::resident_bytes();
  auto r = deserialize_index(file_bytes_of(file));
  const uint64_t grown = testing::resident_bytes() - before;
  std::fprintf(stderr, "%llu records of %llu layers, %zu bytes: resident growth %llu\n",
               static_cast<unsigned long long>(count), static_cast<unsigned long long>(layers),
               file.size(), static_cast<unsigned long long>(grown));
  return r.ok() && (*r)->len() == count && grown <= 8 * file.size();
}

TEST(IndexFileTest, HostileCountsCostAtMostAFewTimesTheFileSize) {
  {
    // One node claiming two million empty layers.
    LayoutBytes b;
    testing::layout_header(b, 8, HnswConfig(), 256, NodeId{1}, 1);
    b.id(1).bitset({}).u64(0).u8(0).u64(0).u64(2'000'000);
    b.raw(std::string(2'000'000 * 8, '\0'));
    EXPECT_EQ(read_error(b.str()), "layer_count (2000000) exceeds max_level + 1 (257)");
  }
  // 300,000 minimal records (no vector, no layers), and 60,000 records of the
  // most layers a node may have, all empty; each loaded in a fresh process.
  ZV_EXPECT_IN_FRESH_PROCESS(loads_within_eight_times_its_size(300'000, 0));
  ZV_EXPECT_IN_FRESH_PROCESS(loads_within_eight_times_its_size(60'000, 257));
}

TEST(IndexFileTest, NodeCountBoundaryAndDuplicates) {
  // Three zero-filled 45-byte records are three records of node 0.
  LayoutBytes b;
  testing::layout_header(b, 8, HnswConfig(), 0, std::nullopt, 3);
  const std::string head = b.str();
  EXPECT_EQ(read_error(head + std::string(134, '\0')),
            "node_count (3) exceeds plausible limit for 134 remaining bytes");
  auto r = deserialize_index(file_bytes_of(head + std::string(135, '\0')));
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ((*r)->len(), 1u);
  EXPECT_EQ((*r)->node_count(), 1u);
  // The later of two records with one id wins.
  LayoutBytes d;
  testing::layout_header(d, 8, HnswConfig(), 0, std::nullopt, 2);
  testing::layout_f32_node(d, 8, 7, {}, 1, {1, 0}, {{}});
  testing::layout_f32_node(d, 8, 7, {}, 2, {0, 1}, {{}});
  r = deserialize_index(file_bytes_of(d.str()));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ((*r)->len(), 1u);
  EXPECT_EQ((*r)->storage_offset(7), 2u);
}

TEST(IndexFileTest, IvfBlockIsKeptOnlyWhenSound) {
  HnswConfig cfg = testing::euclidean_config();
  cfg.index_type = static_cast<uint8_t>(IndexKind::kIvf);
  auto index = testing::make_index(cfg);
  for (NodeId i = 1; i <= 20; ++i) add_at(*index, i, {float(i), 1.0f});
  std::string before_search = *serialize_index(*index);
  EXPECT_EQ(before_search.back(), '\0') << "no IVF index yet";
  index->search_nearest(std::vector<float>{3, 1}, std::nullopt, std::nullopt,
                        FilterBitset::unfiltered(), 3, nullptr);
  std::string with_ivf = *serialize_index(*index);
  EXPECT_GT(with_ivf.size(), before_search.size() + 9);
  // IVF entries hold no offsets: an offset change keeps the block (same
  // size, as offsets have a fixed width).
  ASSERT_TRUE(index->set_storage_offset(3, 99));
  EXPECT_EQ(serialize_index(*index)->size(), with_ivf.size());
  // A change of the vectors after the build makes it stale: not written.
  add_at(*index, 21, {21.0f, 1.0f});
  EXPECT_EQ(serialize_index(*index)->back(), '\0');

  const size_t ivf_at = before_search.size() - 1;
  std::string blob = with_ivf.substr(ivf_at + 9);
  log::CaptureSink sink;
  // Lists fewer than centroids, and a 24-byte blob: loaded without IVF.
  auto c = IvfIndex::decode(file_bytes_of(blob));
  ASSERT_TRUE(c);
  const size_t centroids = c->centroids().size();
  ASSERT_GT(centroids, 1u);
  const size_t list_count_at = 25 + centroids * (8 + 2 * 4);
  std::string short_lists = patch(blob, list_count_at, centroids - 1);
  for (const std::string& bad : {short_lists, blob.substr(0, 24)}) {
    std::string file = before_search.substr(0, ivf_at);
    LayoutBytes tail;
    tail.u8(1).u64(bad.size()).raw(bad);
    auto r = deserialize_index(file_bytes_of(file + tail.str()));
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ((*r)->len(), 20u);
    auto hits = (*r)->search_nearest(std::vector<float>{3, 1}, std::nullopt, std::nullopt,
                                     FilterBitset::unfiltered(), 1, nullptr);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].id, 3u) << "rebuilt on the first search";
  }
  EXPECT_TRUE(sink.contains("Failed to deserialize IVF index data, will rebuild on first search"));
}

TEST(IndexFileTest, OversizedFilterIsRefusedWhereItIsSet) {
  auto index = testing::make_index(testing::euclidean_config());
  FilterBitset ok(std::vector<uint64_t>(FilterBitset::kMaxWords, 1));
  FilterBitset too_big(std::vector<uint64_t>(FilterBitset::kMaxWords + 1, 1));
  ASSERT_TRUE(index->add(1, ok, VectorRepr::f32({1, 2}), 0).ok());
  for (NodeId id : {NodeId{1}, NodeId{2}}) {
    auto r = index->add(id, too_big, VectorRepr::f32({3, 4}), 0);
    ASSERT_FALSE(r.ok());
    const auto* v = r.error().as<ZolvaError::Validation>();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->field, "filter");
    EXPECT_EQ(v->reason, "filter bitset of 4097 words exceeds the maximum of 4096 words");
  }
  EXPECT_EQ(index->len(), 1u);
  EXPECT_EQ(index->vector(1), VectorRepr::f32({1, 2}));
  auto back = deserialize_index(file_bytes_of(*serialize_index(*index)));
  ASSERT_TRUE(back.ok()) << back.error().message();
  EXPECT_EQ((*back)->len(), 1u);
}

TEST(IndexFileTest, MappedVectorWithoutViewFailsTheWrite) {
  auto index = testing::make_index(testing::euclidean_config());
  ASSERT_TRUE(index->add(1, {}, VectorRepr::mmap_full(std::nullopt), 0).ok());
  auto r = serialize_index(*index);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "MmapFull invalid len in serialize");
  EXPECT_EQ(r.error().kind(), IoErrorKind::kInvalidData);
}

}  // namespace
}  // namespace zv
