#include "tervik/block/data_block.h"

#include <cmath>
#include <vector>

#include "platform/checksum.h"
#include "platform/coding.h"
#include "platform/panic.h"

namespace tervik {

namespace {

bool has_value_field(ValueType t) {
  return t == ValueType::kValue || t == ValueType::kIndirection;
}

uint32_t bucket_count(float ratio, size_t items) {
  float n = std::trunc(ratio * static_cast<float>(items));
  uint32_t count = n >= 4294967295.0f ? 0xFFFF'FFFFu : static_cast<uint32_t>(n);
  return count == 0 ? 1 : count;
}

size_t shared_prefix(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

TervikError key_length_error(size_t n) {
  return TervikError::io(zv::IoError(zv::IoErrorKind::kInvalidInput,
                                     "block key of " + std::to_string(n) +
                                         " bytes is outside 1 to 65535 bytes"));
}

TervikStatus DataBlock::encode_into(std::string* out, std::span<const InternalValue> items,
                                    uint8_t restart_interval, float hash_ratio) {
  if (items.empty()) zv::panic(kFatalEmptyChunk);
  if (restart_interval == 0) {
    return zv::make_unexpected(TervikError::io(
        zv::IoError(zv::IoErrorKind::kInvalidInput, "data block restart interval may not be 0")));
  }
  if (std::signbit(hash_ratio)) zv::panic(kFatalNegativeHashRatio);
  std::vector<uint8_t> buckets;
  if (hash_ratio > 0.0f) buckets.assign(bucket_count(hash_ratio, items.size()), kHashBucketFree);

  const size_t base = out->size();
  std::vector<uint64_t> restarts;
  restarts.reserve(items.size() / restart_interval + 1);
  std::string_view restart_key;
  for (size_t i = 0; i < items.size(); ++i) {
    const InternalValue& e = items[i];
    std::string_view key = e.key.user_key.view();
    if (key.empty() || key.size() > kMaxUserKeyLength) {
      out->resize(base);
      return zv::make_unexpected(key_length_error(key.size()));
    }
    const uint64_t item_pos = out->size() - base;
    zv::coding::put_u8(out, static_cast<uint8_t>(e.key.value_type));
    varint::write_u64(out, e.key.seqno);
    if (i % restart_interval == 0) {
      restarts.push_back(item_pos);
      restart_key = key;
      varint::write_u16(out, static_cast<uint16_t>(key.size()));
      out->append(key);
    } else {
      size_t shared = shared_prefix(key, restart_key);
      varint::write_u16(out, static_cast<uint16_t>(shared));
      varint::write_u16(out, static_cast<uint16_t>(key.size() - shared));
      out->append(key.substr(shared));
    }
    if (has_value_field(e.key.value_type)) {
      varint::write_u32(out, static_cast<uint32_t>(e.value.size()));
      out->append(e.value.view());
    }
    if (out->size() - base > kMaxBlockLength) break;  // refused below
    size_t interval = i / restart_interval;
    if (!buckets.empty() && interval < kMaxHashedIntervals) {
      uint8_t& b = buckets[zv::xxh3_64(key.data(), key.size()) % buckets.size()];
      if (b == kHashBucketFree) {
        b = static_cast<uint8_t>(interval);
      } else if (b != kHashBucketConflict && b != interval) {
        b = kHashBucketConflict;
      }
    }
  }
  return finish_block_payload(out, base, restarts, restart_interval, buckets.empty() ? nullptr : &buckets,
                              items.size());
}

TervikResult<std::optional<InternalValue>> DataBlock::point_read(std::string_view key,
                                                                 SeqNo snapshot) const {
  using Out = std::optional<InternalValue>;
  ZV_ASSIGN_OR_RETURN(BlockCursor cursor, BlockCursor::open(block_.data, BlockLayout::kData));
  const BlockTrailer& t = cursor.trailer();
  bool positioned = false;
  if (t.hash_bucket_count != 0) {
    uint64_t bucket = zv::xxh3_64(key.data(), key.size()) % t.hash_bucket_count;
    uint8_t b = static_cast<uint8_t>(cursor.payload()[t.hash_index_offset + bucket]);
    if (b == kHashBucketFree) return Out();
    if (b != kHashBucketConflict) {
      ZV_TRY(cursor.start_front_at_interval(b));
      positioned = true;
    }
  }
  if (!positioned) ZV_TRY(cursor.start_front_before(key));
  ZV_ASSIGN_OR_RETURN(std::optional<BlockItem> item, cursor.find_visible(key, snapshot));
  if (!item) return Out();
  return Out(InternalValue(InternalKey(cursor.key_of(*item), item->seqno, item->value_type),
                           cursor.value_of(*item)));
}

TervikResult<DataBlockDecoder> DataBlock::decoder() const { return DataBlockDecoder::open(block_); }

TervikResult<DataBlockDecoder> DataBlockDecoder::open(const Block& block) {
  ZV_ASSIGN_OR_RETURN(BlockCursor cursor, BlockCursor::open(block.data, BlockLayout::kData));
  return DataBlockDecoder(std::move(cursor));
}

DataBlockDecoder::Step DataBlockDecoder::materialize(
    TervikResult<std::optional<BlockItem>> item) const {
  if (!item.ok()) return zv::make_unexpected(std::move(item).error());
  if (!*item) return std::optional<InternalValue>();
  const BlockItem& it = **item;
  return std::optional<InternalValue>(InternalValue(
      InternalKey(cursor_.key_of(it), it.seqno, it.value_type), cursor_.value_of(it)));
}

DataBlockDecoder::Step DataBlockDecoder::next() { return materialize(cursor_.next()); }
DataBlockDecoder::Step DataBlockDecoder::next_back() { return materialize(cursor_.next_back()); }

TervikResult<bool> DataBlockDecoder::seek(std::string_view key) {
  ZV_ASSIGN_OR_RETURN(std::optional<BlockItem> item, cursor_.seek(key, false));
  return item.has_value() && cursor_.compare_key(*item, key) == 0;
}

TervikResult<bool> DataBlockDecoder::seek_exclusive(std::string_view key) {
  ZV_ASSIGN_OR_RETURN(std::optional<BlockItem> item, cursor_.seek(key, true));
  return item.has_value();
}

TervikResult<bool> DataBlockDecoder::seek_upper(std::string_view key) {
  ZV_ASSIGN_OR_RETURN(std::optional<BlockItem> item, cursor_.seek_upper(key, false));
  return item.has_value() && cursor_.compare_key(*item, key) == 0;
}

TervikResult<bool> DataBlockDecoder::seek_upper_exclusive(std::string_view key) {
  ZV_ASSIGN_OR_RETURN(std::optional<BlockItem> item, cursor_.seek_upper(key, true));
  return item.has_value();
}

}  // namespace tervik
