#include "tervik/block/block_layout.h"

#include <algorithm>
#include <cstring>

#include "platform/coding.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "tervik/block/block.h"
#include "tervik/core/internal_value.h"

namespace tervik {

namespace {

// Trailer fields, counted from the start of the trailer.
constexpr size_t kTrailerRestartInterval = 0;
constexpr size_t kTrailerStepSize = 1;
constexpr size_t kTrailerRestartCount = 2;
constexpr size_t kTrailerBinaryIndexOffset = 6;
constexpr size_t kTrailerHashCount = 10;
constexpr size_t kTrailerHashOffset = 14;

// Reads fields of one item within [p, end).
class ItemReader {
 public:
  ItemReader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

  bool varint(uint64_t* out, unsigned bits) {
    return zv::coding::get_varint(&p_, end_, out, bits) == zv::coding::VarintStatus::kOk;
  }
  bool skip(uint64_t n) {
    if (n > static_cast<uint64_t>(end_ - p_)) return false;
    p_ += n;
    return true;
  }
  const uint8_t* at() const { return p_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace

TervikError corrupt_block(std::string_view reason) {
  return TervikError::logged_unrecoverable(kBlockLogTarget, "corrupt block: " + std::string(reason));
}

TervikResult<BlockTrailer> BlockTrailer::parse(std::string_view payload, BlockLayout layout) {
  if (payload.size() < kBlockTrailerSize) {
    return zv::make_unexpected(corrupt_block("payload shorter than its trailer"));
  }
  const auto* t = reinterpret_cast<const uint8_t*>(payload.data()) + payload.size() -
                  kBlockTrailerSize;
  BlockTrailer tr;
  tr.restart_interval = t[kTrailerRestartInterval];
  tr.step_size = t[kTrailerStepSize];
  tr.restart_count = zv::coding::get_u32_le(t + kTrailerRestartCount);
  tr.binary_index_offset = zv::coding::get_u32_le(t + kTrailerBinaryIndexOffset);
  tr.hash_bucket_count = zv::coding::get_u32_le(t + kTrailerHashCount);
  tr.hash_index_offset = zv::coding::get_u32_le(t + kTrailerHashOffset);

  const uint64_t body = payload.size() - kBlockTrailerSize;
  if (tr.restart_interval == 0) {
    return zv::make_unexpected(corrupt_block("restart interval 0"));
  }
  if (layout == BlockLayout::kIndex && tr.restart_interval != 1) {
    return zv::make_unexpected(corrupt_block("index block with restart interval above 1"));
  }
  if (tr.step_size != 2 && tr.step_size != 4) {
    return zv::make_unexpected(corrupt_block("binary index step size not 2 or 4"));
  }
  if (tr.binary_index_offset == 0 || tr.binary_index_offset > body ||
      static_cast<uint8_t>(payload[tr.binary_index_offset - 1]) != kBlockEndMarker) {
    return zv::make_unexpected(corrupt_block("binary index offset not after the end marker"));
  }
  if (static_cast<uint64_t>(tr.restart_count) * tr.step_size > body - tr.binary_index_offset) {
    return zv::make_unexpected(corrupt_block("binary index runs past the payload"));
  }
  if (layout == BlockLayout::kIndex || tr.hash_bucket_count == 0) {
    tr.hash_bucket_count = 0;
    tr.hash_index_offset = 0;
  } else if (tr.hash_index_offset > body || tr.hash_bucket_count > body - tr.hash_index_offset) {
    return zv::make_unexpected(corrupt_block("hash index runs past the payload"));
  }
  return tr;
}

ItemParse parse_block_item(std::string_view payload, uint32_t items_end, uint32_t pos,
                           BlockLayout layout, const RestartKey* restart, BlockItem* out,
                           const char** reason) {
  const char* kRunsPast = "item runs past the items";
  if (pos >= items_end) {
    if (pos == items_end) return ItemParse::kEnd;
    *reason = "item position past the end marker";
    return ItemParse::kDamaged;
  }
  const auto* base = reinterpret_cast<const uint8_t*>(payload.data());
  const uint8_t tag = base[pos];
  if (tag == kBlockEndMarker) return ItemParse::kEnd;

  BlockItem& item = *out;
  item = BlockItem{};
  item.pos = pos;
  ItemReader r(base + pos + 1, base + items_end);
  uint64_t v = 0;
  *reason = kRunsPast;

  if (layout == BlockLayout::kIndex) {
    if (restart != nullptr) {
      *reason = "truncated item in an index block";
      return ItemParse::kDamaged;
    }
    if (!r.varint(&item.handle_offset, 64) || !r.varint(&v, 32)) return ItemParse::kDamaged;
    item.handle_size = static_cast<uint32_t>(v);
    if (!r.varint(&item.seqno, 64) || !r.varint(&v, 16)) return ItemParse::kDamaged;
    item.suffix_pos = static_cast<uint32_t>(r.at() - base);
    item.suffix_len = static_cast<uint32_t>(v);
    if (!r.skip(v)) return ItemParse::kDamaged;
    item.next = static_cast<uint32_t>(r.at() - base);
    return ItemParse::kItem;
  }

  if (tag != 0 && tag != 1 && tag != 2 && tag != 4) return ItemParse::kBadValueType;
  item.value_type = static_cast<ValueType>(tag);
  if (!r.varint(&item.seqno, 64)) return ItemParse::kDamaged;
  if (restart != nullptr) {
    uint64_t shared = 0;
    if (!r.varint(&shared, 16)) return ItemParse::kDamaged;
    if (shared > restart->len) {
      *reason = "shared prefix longer than the restart key";
      return ItemParse::kDamaged;
    }
    item.prefix_pos = restart->pos;
    item.prefix_len = static_cast<uint32_t>(shared);
  }
  if (!r.varint(&v, 16)) return ItemParse::kDamaged;
  item.suffix_pos = static_cast<uint32_t>(r.at() - base);
  item.suffix_len = static_cast<uint32_t>(v);
  if (!r.skip(v)) return ItemParse::kDamaged;
  uint64_t key_len = static_cast<uint64_t>(item.prefix_len) + item.suffix_len;
  if (key_len == 0 || key_len > kMaxUserKeyLength) {
    *reason = "key length outside 1 to 65535";
    return ItemParse::kDamaged;
  }
  if (item.value_type == ValueType::kValue || item.value_type == ValueType::kIndirection) {
    if (!r.varint(&v, 32)) return ItemParse::kDamaged;
    item.value_pos = static_cast<uint32_t>(r.at() - base);
    item.value_len = static_cast<uint32_t>(v);
    if (!r.skip(v)) return ItemParse::kDamaged;
  }
  item.next = static_cast<uint32_t>(r.at() - base);
  return ItemParse::kItem;
}

TervikError item_parse_error(ItemParse status, std::string_view payload, uint32_t pos,
                             const char* reason) {
  if (status == ItemParse::kBadValueType) {
    return TervikError::invalid_tag(kValueTypeTagName, static_cast<uint8_t>(payload[pos]));
  }
  return corrupt_block(reason != nullptr ? reason : "damaged item");
}

int compare_item_key(std::string_view payload, const BlockItem& item, std::string_view key) {
  const char* base = payload.data();
  const char* k = key.data();
  size_t klen = key.size();
  // The shared prefix first, then the suffix against the rest of the key.
  size_t n = std::min<size_t>(item.prefix_len, klen);
  if (n != 0) {
    int c = std::memcmp(base + item.prefix_pos, k, n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (klen <= item.prefix_len) return item.key_len() > klen ? 1 : 0;
  k += item.prefix_len;
  klen -= item.prefix_len;
  n = std::min<size_t>(item.suffix_len, klen);
  if (n != 0) {
    int c = std::memcmp(base + item.suffix_pos, k, n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (item.suffix_len == klen) return 0;
  return item.suffix_len < klen ? -1 : 1;
}

TervikStatus finish_block_payload(std::string* out, size_t base,
                                  const std::vector<uint64_t>& restarts,
                                  uint8_t restart_interval,
                                  const std::vector<uint8_t>* hash_buckets,
                                  uint64_t item_count) {
  auto too_large = [&] {
    out->resize(base);
    return zv::make_unexpected(TervikError::io(zv::IoError(
        zv::IoErrorKind::kInvalidInput,
        "block payload of more than " + std::to_string(kMaxBlockLength) + " bytes")));
  };
  if (restarts.empty()) zv::panic("should not be empty");
  out->push_back(static_cast<char>(kBlockEndMarker));
  const uint64_t binary_index_offset = out->size() - base;
  const uint8_t step = restarts.back() < 0x10000 ? 2 : 4;
  const uint64_t tail = restarts.size() * step +
                        (hash_buckets ? hash_buckets->size() : 0) + kBlockTrailerSize;
  if (binary_index_offset + tail > kMaxBlockLength || item_count > kMaxBlockLength) {
    return too_large();
  }
  for (uint64_t r : restarts) {
    if (step == 2) {
      zv::coding::put_u16_le(out, static_cast<uint16_t>(r));
    } else {
      zv::coding::put_u32_le(out, static_cast<uint32_t>(r));
    }
  }
  uint32_t hash_count = 0;
  uint32_t hash_offset = 0;
  if (hash_buckets != nullptr && !hash_buckets->empty() &&
      restarts.size() <= kMaxHashedIntervals) {
    hash_offset = static_cast<uint32_t>(out->size() - base);
    hash_count = static_cast<uint32_t>(hash_buckets->size());
    out->append(reinterpret_cast<const char*>(hash_buckets->data()), hash_buckets->size());
  }
  zv::coding::put_u8(out, restart_interval);
  zv::coding::put_u8(out, step);
  zv::coding::put_u32_le(out, static_cast<uint32_t>(restarts.size()));
  zv::coding::put_u32_le(out, static_cast<uint32_t>(binary_index_offset));
  zv::coding::put_u32_le(out, hash_count);
  zv::coding::put_u32_le(out, hash_offset);
  zv::coding::put_u8(out, 1);
  zv::coding::put_u8(out, 0);
  zv::coding::put_u16_le(out, 0);
  zv::coding::put_u8(out, 0);
  zv::coding::put_u32_le(out, 0);
  zv::coding::put_u32_le(out, static_cast<uint32_t>(item_count));
  return {};
}

}  // namespace tervik
