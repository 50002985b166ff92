// Data blocks: a run of a table's entries in internal key order, keys
// prefix-truncated against their restart key, with a binary index of restart
// positions and an optional hash index from user key to restart interval.
// Encoded by the table writer, decoded from both ends by table iterators and
// read by point reads. A DataBlock is immutable and shared; a decoder is not.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tervik/block/block.h"
#include "tervik/block/block_cursor.h"
#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"

namespace tervik {

class DataBlockDecoder;

// The error of an encoder given a key that no block can store (empty, or
// longer than 65,535 bytes).
TervikError key_length_error(size_t n);

class DataBlock {
 public:
  explicit DataBlock(Block block) : block_(std::move(block)) {}

  // Appends the payload of `items` (non-empty, in internal key order) to
  // `out`; stored positions count from the payload's first byte.
  // A restart interval of 0, a key outside 1 to 65,535 bytes or a payload
  // beyond the u32 fields is an error;
  // a hash ratio with its sign bit set is a fatal "hash_ratio may not be
  // negative". ratio > 0 adds max(1, trunc(ratio x items)) hash buckets.
  static TervikStatus encode_into(std::string* out, std::span<const InternalValue> items,
                                  uint8_t restart_interval, float hash_ratio);

  // The newest entry of `key` with a seqno strictly below `snapshot`
  // (tombstones included), none when there is none.
  TervikResult<std::optional<InternalValue>> point_read(std::string_view key,
                                                        SeqNo snapshot) const;

  // A new decoder over this block, positioned at neither end yet.
  TervikResult<DataBlockDecoder> decoder() const;

  const Block& block() const { return block_; }

 private:
  Block block_;
};

// Double-ended iteration and the four seeks over one data block. Seeks
// compare user keys only; the item a seek stops at is the next one returned
// from that end. Each end is sought at most once, before items are taken
// from it, in either order.
class DataBlockDecoder {
 public:
  using Step = TervikResult<std::optional<InternalValue>>;

  static TervikResult<DataBlockDecoder> open(const Block& block);

  Step next();
  Step next_back();

  // Front at the first item with key >= `key`; true when its key equals it.
  TervikResult<bool> seek(std::string_view key);
  // Front at the first item with key > `key`; true when there is one.
  TervikResult<bool> seek_exclusive(std::string_view key);
  // Back at the last item with key <= `key`; true when its key equals it.
  TervikResult<bool> seek_upper(std::string_view key);
  // Back at the last item with key < `key`; true when there is one.
  TervikResult<bool> seek_upper_exclusive(std::string_view key);

 private:
  explicit DataBlockDecoder(BlockCursor cursor) : cursor_(std::move(cursor)) {}
  Step materialize(TervikResult<std::optional<BlockItem>> item) const;

  BlockCursor cursor_;
};

}  // namespace tervik
