#include "src/storage/vfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "platform/coding.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "src/index/hnsw_index.h"
#include "src/storage/rebuild_from_store.h"

namespace zv {
namespace {

using coding::get_u16_le;
using coding::get_u32_le;
using coding::get_u64_le;

EngineNode vfile_node(NodeId id, VectorRepr v) {
  EngineNode n = EngineNode::create(id);
  n.vector = std::move(v);
  return n;
}

std::vector<EngineNode> nodes_of_every_kind() {
  std::vector<EngineNode> out;
  out.push_back(vfile_node(1, VectorRepr::f32({1.0f, 2.0f, 3.0f})));
  out.push_back(vfile_node(2, VectorRepr::binary({0xAAu, 0x5555u})));
  out.push_back(vfile_node(3, VectorRepr::turbo({1, 2, 3, 4, 5})));
  out.push_back(vfile_node(4, VectorRepr::sq8(0.5f, {1, -2, 3, -4, 5, -6, 7, -8, 9, -10})));
  out.push_back(vfile_node(5, VectorRepr::none()));
  EngineNode rich = vfile_node(make_node_id(7, 9), VectorRepr::f32(std::vector<float>(100, 0.25f)));
  rich.bitset = {0x11, 0x22, 0x33};
  rich.confidence_score = 0.75f;
  rich.importance = 0.125f;
  rich.tier = Tier::kHot;
  rich.flags = kNodeFlagAlive | kNodeFlagHasVector | kVectorKindMask;  // stale kind bits
  rich.add_edge(1, 0, 1.0f);
  rich.add_edge(2, 0, 1.0f);
  out.push_back(std::move(rich));
  return out;
}

// Checks that the record at `pos` holds `n` as the store writes it.
void expect_record(const VFile& f, uint64_t pos, const EngineNode& n) {
  auto h = f.node_header_at(pos);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->node_id, n.id);
  EXPECT_EQ(h->vector_offset, pos + 64);
  EXPECT_EQ(h->filter_word0, n.bitset.size() > 0 ? n.bitset[0] : 0);
  EXPECT_EQ(h->filter_word1, n.bitset.size() > 1 ? n.bitset[1] : 0);
  EXPECT_EQ(h->confidence_score, n.confidence_score);
  EXPECT_EQ(h->importance, n.importance);
  EXPECT_EQ(h->edge_count, n.edges.size());
  EXPECT_EQ(h->tier, n.tier == Tier::kHot ? 1 : 0);
  const StoreVectorLayout layout = store_vector_layout(n.vector);
  EXPECT_EQ(h->kind(), static_cast<uint32_t>(layout.kind));
  EXPECT_EQ(h->vector_len, layout.len);
  EXPECT_EQ(h->flags & ~kVectorKindMask, n.flags & ~kVectorKindMask);
  VectorRepr back = read_stored_vector(f, *h);
  if (n.vector.kind() == VectorKind::kMmapFull) {
    EXPECT_EQ(back.to_f32_vec(), n.vector.to_f32_vec());
  } else {
    EXPECT_EQ(back, n.vector);
  }
}

TEST(VFileAppend, LayoutOfTheFirstRecordsInMemory) {
  VFile f = VFile::in_memory(4096);
  EXPECT_EQ(f.capacity(), 4096u);
  EXPECT_EQ(f.write_offset(), 64u);
  auto p = f.append_node(vfile_node(1, VectorRepr::f32({1, 2, 3})));
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(*p, 64u);
  const uint8_t* b = f.bytes().data();
  EXPECT_EQ(get_u64_le(b + 64 + 32), 128u);
  EXPECT_EQ(get_u32_le(b + 64 + 52), 3u);
  EXPECT_EQ((get_u32_le(b + 64 + 56) >> 10) & 0xF, 1u);
  EXPECT_EQ(f.write_offset(), 192u);
  EXPECT_EQ(get_u64_le(b + 16), 192u);  // the header's copy

  // Sq8: codes then the scale (14 bytes); binary: 16 bytes; no vector: 0.
  auto q = f.append_node(vfile_node(2, VectorRepr::sq8(2.5f, std::vector<int8_t>(10, 7))));
  ASSERT_TRUE(q.ok());
  EXPECT_EQ(*q, 192u);
  EXPECT_EQ(get_u32_le(b + 192 + 52), 10u);
  float scale;
  std::memcpy(&scale, b + 192 + 64 + 10, 4);
  EXPECT_EQ(scale, 2.5f);
  EXPECT_EQ(f.write_offset(), 192u + 128u);
  auto r = f.append_node(vfile_node(3, VectorRepr::binary({~0ull, 1})));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(get_u64_le(b + *r + 64), ~0ull);
  EXPECT_EQ(get_u64_le(b + *r + 72), 1u);
  EXPECT_EQ(f.write_offset(), *r + 128);
  auto s = f.append_node(vfile_node(4, VectorRepr::none()));
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(get_u32_le(b + *s + 52), 0u);
  EXPECT_EQ((get_u32_le(b + *s + 56) >> 10) & 0xF, 0u);
  EXPECT_EQ(f.write_offset(), *s + 64);
}

TEST(VFileAppend, EveryKindRoundTripsIncludingMappedVectors) {
  VFile f = VFile::in_memory(256);
  auto nodes = nodes_of_every_kind();
  // A mapped vector with a misaligned start still has an f32 view (kind 1);
  // one too short for a view is stored as kind 0.
  auto owner = std::make_shared<std::vector<unsigned char>>(4 * 4 + 1);
  float vals[4] = {9, 8, 7, 6};
  std::memcpy(owner->data() + 1, vals, 16);
  nodes.push_back(vfile_node(
      20, VectorRepr::mmap_full(MappedVector(owner, owner->data() + 1, 16))));
  nodes.push_back(vfile_node(21, VectorRepr::mmap_full(MappedVector(owner, owner->data(), 3))));
  std::vector<uint64_t> pos;
  for (const auto& n : nodes) {
    auto p = f.append_node(n);
    ASSERT_TRUE(p.ok()) << p.error().message();
    pos.push_back(*p);
  }
  for (size_t i = 0; i < nodes.size() - 1; ++i) expect_record(f, pos[i], nodes[i]);
  auto last = f.node_header_at(pos.back());
  EXPECT_EQ(last->kind(), 0u);
  EXPECT_EQ(last->vector_len, 0u);
}

TEST(VFileAppend, LimitsFailWithoutWritingARecord) {
  VFile f = VFile::in_memory(4096);
  EngineNode n = vfile_node(5, VectorRepr::f32({1}));
  for (int i = 0; i < 65536; ++i) n.edges.push_back(NodeEdge{1, 0, 1.0f, false, 0});
  auto r = f.append_node(n);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "node 5 has 65536 edges, exceeding the DiskNodeHeader u16 edge_count limit of 65535");
  EXPECT_EQ(f.write_offset(), 64u);
  EXPECT_FALSE(f.node_header_at(64).has_value() && f.node_header_at(64)->node_id != 0);
  n.edges.resize(65535);
  EXPECT_TRUE(f.append_node(n).ok());

  // The length check, without a 4 GiB vector.
  auto len = check_record_limits(9, uint64_t{1} << 32, 0);
  ASSERT_FALSE(len.ok());
  EXPECT_EQ(len.error().message(), "node 9 vector_len 4294967296 exceeds u32 limit of 4294967295");
  EXPECT_TRUE(check_record_limits(9, kVectorLenLimit, kEdgeCountLimit).ok());
}

TEST(VFileAppend, GrowthDoublesOrAddsHeadroom) {
  VFile small = VFile::in_memory(1000);
  small.set_write_offset(960);
  // 960 + 64 + 76 = 1100 > 1000: max(2000, 1100 + 4096).
  ASSERT_TRUE(small.append_node(vfile_node(1, VectorRepr::f32(std::vector<float>(19, 1.0f)))).ok());
  EXPECT_EQ(small.capacity(), 5196u);
  EXPECT_EQ(small.write_offset(), 1152u);  // past nothing: 1100 rounded up

  VFile big = VFile::in_memory(kDefaultSegmentBytes);
  big.set_write_offset(kDefaultSegmentBytes - 64);
  ASSERT_TRUE(big.append_node(vfile_node(2, VectorRepr::f32({1, 2}))).ok());
  EXPECT_EQ(big.capacity(), 2 * kDefaultSegmentBytes);
  expect_record(big, kDefaultSegmentBytes - 64, vfile_node(2, VectorRepr::f32({1, 2})));

  auto shrink = big.grow_to(10);
  ASSERT_FALSE(shrink.ok());
  EXPECT_EQ(shrink.error().message(), "Validation error on new_size: grow_to called with new_size "
                                      "10 < current size 134217728");
}

TEST(VFileHeaders, ReadableOnlyAtAlignedPositionsWithinCapacity) {
  VFile f = VFile::in_memory(256);
  ASSERT_TRUE(f.append_node(vfile_node(1, VectorRepr::none())).ok());
  EXPECT_TRUE(f.disk_node_header_at(64).has_value());
  EXPECT_TRUE(f.disk_node_header_at(192).has_value());  // ends exactly at 256
  for (uint64_t pos : {uint64_t{65}, uint64_t{256}, uint64_t{224}, ~uint64_t{63},
                       ~uint64_t{0}, uint64_t{1} << 63})
    EXPECT_FALSE(f.disk_node_header_at(pos).has_value()) << pos;

  // Deleted records are returned; a vector_offset with low bits set is not.
  auto h = *f.node_header_at(64);
  h.flags |= kRecordDeletedFlag;
  ASSERT_TRUE(f.write_node_header(64, h).ok());
  auto d = f.disk_node_header_at(64);
  ASSERT_TRUE(d.has_value());
  EXPECT_TRUE(d->deleted());
  h.vector_offset = 130;
  ASSERT_TRUE(f.write_node_header(64, h).ok());
  EXPECT_FALSE(f.disk_node_header_at(64).has_value());

  auto mis = f.write_node_header(32, h);
  ASSERT_FALSE(mis.ok());
  EXPECT_EQ(mis.error().message(), "IO error: misaligned");
  auto oob = f.write_node_header(256, h);
  ASSERT_FALSE(oob.ok());
  EXPECT_EQ(oob.error().message(), "IO error: out of bounds");
  EXPECT_FALSE(f.write_node_header(~uint64_t{63}, h).ok());
}

TEST(VFileHeaders, ReaderViewMapsTheStoredFields) {
  VFile f = VFile::in_memory(4096);
  EngineNode n = vfile_node(3, VectorRepr::sq8(1.0f, {1, 2, 3}));
  n.importance = 0.875f;
  n.flags |= kRecordDeletedFlag;
  auto p = f.append_node(n);
  ASSERT_TRUE(p.ok());
  auto d = f.disk_node_header_at(*p);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->data_offset, *p + 64);
  EXPECT_EQ(d->element_count, 3u);  // bytes 52..55, not the importance at 44
  EXPECT_EQ(d->encoding(), 4u);
  EXPECT_TRUE(d->deleted());
  EXPECT_EQ(d->vector_bytes(), 7u);
  EXPECT_EQ(f.mapping(), nullptr);
  EXPECT_EQ(f.bytes().size(), f.capacity());
}

TEST(VFileMemory, InMemorySegmentAndItsRefusals) {
  VFile f = VFile::in_memory(10);
  EXPECT_EQ(f.capacity(), 64u);
  EXPECT_EQ(f.header().version, 2);
  EXPECT_EQ(std::memcmp(f.bytes().data(), "ZFLE", 4), 0);
  EXPECT_TRUE(f.remap().ok());
  EXPECT_TRUE(f.reopen(64).ok());
  auto big = alloc_zeroed(uint64_t{1} << 63);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().message(), "Validation error on alloc: in-memory vstore buffer size "
                                   "9223372036854775808 overflows layout with align 4");
  auto r = range_resident_bytes(f.bytes().data(), 0);
  EXPECT_TRUE(r.known);
  EXPECT_EQ(r.bytes, 0u);
  auto whole = f.resident();
  EXPECT_TRUE(whole.known);
  EXPECT_EQ(whole.bytes % 4096, 0u);
  EXPECT_GE(whole.bytes, 4096u);  // the header page was written
}

class VFileOnDisk : public ::testing::Test {
 protected:
  std::string path() const { return fs::join(dir_.path(), "vstore_L0.zolva"); }
  std::string read() const { return *fs::read_file(path()); }
  void write(const std::string& bytes) { ASSERT_TRUE(fs::write_file(path(), bytes).ok()); }
  void patch_u64(uint64_t pos, uint64_t v) {
    std::string b = read();
    for (int i = 0; i < 8; ++i) b[pos + i] = static_cast<char>(v >> (8 * i));
    write(b);
  }
  testing::TempDir dir_;
};

TEST_F(VFileOnDisk, NewFileGetsHeaderAndInitialSize) {
  write("");
  auto f = VFile::open(path(), 1000, false);
  ASSERT_TRUE(f.ok()) << f.error().message();
  EXPECT_EQ(f->capacity(), 1000u);
  EXPECT_EQ(f->write_offset(), 64u);
  std::string b = read();
  EXPECT_EQ(b.size(), 1000u);
  EXPECT_EQ(b.substr(0, 4), "ZFLE");
  EXPECT_EQ(get_u16_le(b.data() + 4), 2u);
  EXPECT_EQ(get_u64_le(b.data() + 16), 64u);
  EXPECT_EQ(b.substr(24), std::string(1000 - 24, '\0'));
  EXPECT_NE(f->mapping(), nullptr);
  auto tiny = VFile::open(fs::join(dir_.path(), "tiny"), 0, false);
  ASSERT_TRUE(tiny.ok());
  EXPECT_EQ(tiny->capacity(), 64u);
}

TEST_F(VFileOnDisk, RecordsSurviveReopenAndAppendsContinueAfterThem) {
  auto nodes = nodes_of_every_kind();
  std::vector<uint64_t> pos;
  {
    auto f = VFile::open(path(), 1000, false);
    ASSERT_TRUE(f.ok());
    for (const auto& n : nodes) pos.push_back(*f->append_node(n));
    // A record ending exactly at a length that growth left off a multiple
    // of 64 puts the stored offset past the file's end.
    ASSERT_NE(f->capacity() % 64, 0u);
    const uint64_t filler = f->capacity() - f->write_offset() - 64;
    nodes.push_back(vfile_node(77, VectorRepr::turbo(std::vector<uint8_t>(filler, 0x5A))));
    pos.push_back(*f->append_node(nodes.back()));
    EXPECT_NE(f->capacity() % 64, 0u);
    EXPECT_GT(f->write_offset(), f->capacity());
    ASSERT_TRUE(f->flush().ok());
  }
  for (bool ro : {true, false}) {
    auto f = VFile::open(path(), 1000, ro);
    ASSERT_TRUE(f.ok()) << f.error().message();
    for (size_t i = 0; i < nodes.size(); ++i) expect_record(*f, pos[i], nodes[i]);
    EXPECT_GT(f->write_offset(), pos.back());
    if (ro) {
      auto w = f->append_node(nodes[0]);
      ASSERT_FALSE(w.ok());
      EXPECT_EQ(w.error().message(), "Validation error on read_only: File is read-only");
      EXPECT_EQ(f->remap().error().message(), "Validation error on read_only: read-only");
      continue;
    }
    const uint64_t next = f->write_offset();
    auto p = f->append_node(nodes[3]);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(*p, next);
    for (size_t i = 0; i < nodes.size(); ++i) expect_record(*f, pos[i], nodes[i]);
    expect_record(*f, *p, nodes[3]);
  }
}

TEST_F(VFileOnDisk, UntrustedWriteOffsetsAppendAfterTheFileEnd) {
  {
    auto f = VFile::open(path(), 640, false);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->append_node(vfile_node(1, VectorRepr::f32({1, 2, 3}))).ok());
  }
  for (uint64_t stored : {uint64_t{0}, uint64_t{63}, uint64_t{704}, ~uint64_t{0}}) {
    patch_u64(16, stored);
    log::CaptureSink sink(log::Level::kWarn);
    for (bool ro : {true, false}) {
      auto f = VFile::open(path(), 640, ro);
      ASSERT_TRUE(f.ok());
      EXPECT_EQ(f->write_offset(), 640u) << stored;
      if (!ro) {
        auto p = f->append_node(vfile_node(2, VectorRepr::none()));
        ASSERT_TRUE(p.ok());
        EXPECT_EQ(*p, 640u);
        expect_record(*f, 64, vfile_node(1, VectorRepr::f32({1, 2, 3})));
      }
    }
    bool named = false;
    for (const auto& e : sink.events())
      for (const auto& [k, v] : e.fields) named |= k == "path" && v == path();
    EXPECT_TRUE(named) << stored;
    // Restore the file to its first record only.
    std::string b = read();
    write(b.substr(0, 640));
    patch_u64(16, 192);
  }
}

TEST_F(VFileOnDisk, ForeignOrNewerHeadersFailAndStayUntouched) {
  std::string foreign = "ABCD" + std::string(200, '\x01');
  write(foreign);
  for (bool ro : {true, false}) {
    auto f = VFile::open(path(), 4096, ro);
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().message(),
              "Incompatible binary format: expected magic [90, 70, 76, 69], version 2, found magic "
              "[65, 66, 67, 68], version 257. Hint: File: expected magic [90, 70, 76, 69], found "
              "[65, 66, 67, 68]");
    EXPECT_EQ(read(), foreign);
  }
  std::string newer = "ZFLE" + std::string("\x03\0", 2) + std::string(58, '\0');
  write(newer);
  auto f = VFile::open(path(), 4096, false);
  ASSERT_FALSE(f.ok());
  EXPECT_NE(f.error().message().find("Hint: File: file version 3 is newer than this software (max 2)"),
            std::string::npos);
  // An all-zero header counts as new and is initialised.
  write(std::string(128, '\0'));
  auto z = VFile::open(path(), 4096, false);
  ASSERT_TRUE(z.ok());
  EXPECT_EQ(z->capacity(), 128u);
  EXPECT_EQ(z->write_offset(), 64u);
  auto missing = VFile::open(fs::join(dir_.path(), "missing"), 0, true);
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.error().is(ZolvaErrorKind::kIo));
  write("ZFLE");
  auto ro_short = VFile::open(path(), 0, true);
  ASSERT_FALSE(ro_short.ok());
  EXPECT_EQ(ro_short.error().message(), "Validation error on file_size: File " + path() + " too small");
}

TEST_F(VFileOnDisk, GrowthRemapsAndReopenFollowsTheFile) {
  auto f = VFile::open(path(), 256, false);
  ASSERT_TRUE(f.ok());
  EngineNode n = vfile_node(1, VectorRepr::f32(std::vector<float>(200, 1.5f)));
  auto p = f->append_node(n);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(f->capacity(), 64u + 64 + 800 + 4096);
  EXPECT_EQ(*fs::file_size(path()), f->capacity());
  expect_record(*f, *p, n);
  EXPECT_TRUE(f->reopen(f->capacity()).ok());
  expect_record(*f, *p, n);
  auto r = f->resident();
  EXPECT_TRUE(r.known);
  EXPECT_GT(r.bytes, 0u);
}

// The segment as the vector index's reader: a search reads vectors in place
// and skips deleted records.
TEST(VFileReader, SearchReadsVectorsThroughTheSegment) {
  VFile f = VFile::in_memory(1 << 16);
  HnswConfig config;
  config.flat_threshold = std::nullopt;  // the graph search reads the store
  HnswIndex index(config, IndexBacking::in_memory());
  std::vector<std::vector<float>> vs = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {1, 1, 0, 0}};
  for (size_t i = 0; i < vs.size(); ++i) {
    EngineNode n = vfile_node(100 + i, VectorRepr::f32(vs[i]));
    if (i == 3) n.flags |= kRecordDeletedFlag;
    auto p = f.append_node(n);
    ASSERT_TRUE(p.ok());
    ASSERT_TRUE(index.add(n.id, FilterBitset::all_ones(), n.vector, *p).ok());
  }
  EngineNode q8 = vfile_node(200, VectorRepr::sq8(1.0f / 127, {127, 0, 0, 0}));
  auto p8 = f.append_node(q8);
  ASSERT_TRUE(index.add(q8.id, FilterBitset::all_ones(), q8.vector, *p8).ok());
  std::vector<float> query = {1, 0, 0, 0};
  auto res = index.search_nearest(query, std::nullopt, std::nullopt, FilterBitset::unfiltered(), 3,
                                  &f);
  ASSERT_EQ(res.size(), 3u);
  for (const auto& c : res) EXPECT_NE(c.id, NodeId{103});
  // The exact match and the 8-bit copy of it score 1.
  EXPECT_TRUE(res[0].id == 100 || res[0].id == 200);
  EXPECT_NEAR(res[0].score, 1.0f, 1e-5);
  EXPECT_NEAR(res[1].score, 1.0f, 1e-5);
}

}  // namespace
}  // namespace zv
