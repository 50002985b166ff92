// Feeds arbitrary bytes to the block frame, data block, index block and Bloom
// filter decoders: whatever the input, they return values or errors, never
// crash, panic or read outside their input. Frames get their checksums
// recomputed, since random bytes never pass XXH3; payloads also arrive as
// valid blocks with a few bytes damaged, to reach deep into the decoders.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/coding.h"
#include "tervik/block/block.h"
#include "tervik/block/block_index.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/block/data_block.h"
#include "tervik/block/index_block.h"

namespace tervik {
namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  std::string bytes(size_t n) {
    n = std::min<size_t>(n, end_ - p_);
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }
  std::string rest() { return bytes(end_ - p_); }
  bool empty() const { return p_ >= end_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

class StringReader final : public Reader {
 public:
  explicit StringReader(std::string_view s) : s_(s) {}
  zv::IoResult<size_t> read(uint8_t* buf, size_t n) override {
    size_t k = std::min(n, s_.size() - pos_);
    std::memcpy(buf, s_.data() + pos_, k);
    pos_ += k;
    return k;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

void fuzz_frame(Input& in) {
  CompressionType c = in.byte() & 1 ? CompressionType::kLz4 : CompressionType::kNone;
  std::string frame = in.rest();
  if (frame.size() >= kBlockHeaderSize) {
    // Make both checksums match so that the lengths and LZ4 are reached.
    std::string sum;
    Checksum::of(std::string_view(frame).substr(kBlockHeaderSize)).encode_to(&sum);
    std::memcpy(frame.data() + 5, sum.data(), sum.size());
    uint32_t hdr = static_cast<uint32_t>(zv::xxh3_128(frame.data(), kBlockHeaderHashedSize).low);
    std::string h;
    zv::coding::put_u32_le(&h, hdr);
    std::memcpy(frame.data() + kBlockHeaderHashedSize, h.data(), 4);
  }
  (void)Block::from_frame(Slice(frame), c);
  StringReader r(frame);
  (void)Block::from_reader(r, c);
}

void walk_data(const std::string& payload, Input& in) {
  DataBlock block(Block{BlockHeader{}, Slice(payload)});
  std::string key = in.bytes(in.byte() % 16 + 1);
  (void)block.point_read(key, in.byte() * 1000ull);
  auto d = block.decoder();
  if (!d.ok()) return;
  // Either end, both ends in either order, or neither is sought.
  const uint8_t seeks = in.byte();
  std::string upper = in.bytes(in.byte() % 16 + 1);
  auto seek_front = [&] { (void)(seeks & 4 ? d->seek_exclusive(key) : d->seek(key)); };
  auto seek_back = [&] { (void)(seeks & 8 ? d->seek_upper_exclusive(upper) : d->seek_upper(upper)); };
  if (seeks & 16) {
    if (seeks & 2) seek_back();
    if (seeks & 1) seek_front();
  } else {
    if (seeks & 1) seek_front();
    if (seeks & 2) seek_back();
  }
  for (int i = 0; i < 4096; ++i) {
    auto r = in.byte() & 1 ? d->next_back() : d->next();
    if (!r.ok() || !*r) break;
  }
}

void walk_index(const std::string& payload, Input& in) {
  IndexBlock block(Block{BlockHeader{}, Slice(payload)});
  std::string key = in.bytes(in.byte() % 16 + 1);
  auto index = BlockIndex::full_pinned(block);
  auto it = index.iter();
  if (!it.ok()) return;
  if (in.byte() & 1) (void)it->seek_lower(key, in.byte());
  if (in.byte() & 1) (void)it->seek_upper(in.bytes(4), 0);
  for (int i = 0; i < 4096; ++i) {
    auto r = in.byte() & 1 ? it->next_back() : it->next();
    if (!r.ok() || !*r) break;
  }
}

// A valid block built from the input, then damaged at input-chosen bytes.
std::string damaged_valid_block(Input& in, bool index) {
  size_t n = 1 + in.byte() % 40;
  std::string out;
  if (index) {
    std::vector<IndexBlockEntry> entries;
    std::string key;
    for (size_t i = 0; i < n; ++i) {
      key += static_cast<char>(in.byte());
      entries.push_back(IndexBlockEntry{Slice(key), in.byte(), BlockHandle{i * 4096, 4096}});
    }
    if (!IndexBlock::encode_into(&out, entries).ok()) return {};
  } else {
    std::vector<InternalValue> items;
    std::string key = "k";
    const ValueType types[] = {ValueType::kValue, ValueType::kTombstone,
                               ValueType::kWeakTombstone, ValueType::kIndirection};
    for (size_t i = 0; i < n; ++i) {
      key += static_cast<char>(in.byte());
      items.push_back(InternalValue::from_components(Slice(key), Slice(in.bytes(in.byte() % 8)),
                                                     in.byte(), types[in.byte() % 4]));
    }
    uint8_t restart = static_cast<uint8_t>(1 + in.byte() % 8);
    float ratio = static_cast<float>(in.byte() % 4);
    if (!DataBlock::encode_into(&out, items, restart, ratio).ok()) return {};
  }
  for (int flips = in.byte() % 4; flips > 0 && !out.empty(); --flips) {
    size_t at = (in.byte() | (in.byte() << 8)) % out.size();
    out[at] = static_cast<char>(in.byte());
  }
  return out;
}

}  // namespace
}  // namespace tervik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tervik;
  Input in(data, size);
  switch (in.byte() % 8) {
    case 0: fuzz_frame(in); break;
    case 1: {
      std::string payload = in.bytes(in.byte() | (in.byte() << 8));
      walk_data(payload, in);
      break;
    }
    case 2: {
      std::string payload = in.bytes(in.byte() | (in.byte() << 8));
      walk_index(payload, in);
      break;
    }
    case 3: {
      std::string payload = damaged_valid_block(in, false);
      walk_data(payload, in);
      break;
    }
    case 4: {
      std::string payload = damaged_valid_block(in, true);
      walk_index(payload, in);
      break;
    }
    case 5: {
      uint64_t h = 0;
      for (int i = 0; i < 8; ++i) h = (h << 8) | in.byte();
      (void)BloomFilter::contains_hash(in.rest(), h);
      break;
    }
    case 6: {
      uint32_t stated = 0;
      for (int i = 0; i < 4; ++i) stated = (stated << 8) | in.byte();
      (void)lz4_decompress(in.rest(), stated);
      break;
    }
    default: {
      // A valid filter header over a random array.
      std::string payload("LSM\x03\x00\x00", 6);
      zv::coding::put_u64_le(&payload, in.byte() | (in.byte() << 8));
      zv::coding::put_u64_le(&payload, in.byte());
      payload += in.rest();
      (void)BloomFilter::contains_hash(payload, 0x9E3779B97F4A7C15ull);
      break;
    }
  }
  return 0;
}
