// The layout shared by data and index block payloads: items, the 0xFF end
// marker, the binary index of restart positions, the optional hash index and
// the 31-byte trailer. Parsing checks every stored offset against the payload,
// so a damaged block is an error value, never a read out of bounds.
// Used by the data and index block codecs and their cursor. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tervik/core/error.h"
#include "tervik/core/value_type.h"

namespace tervik {

inline constexpr size_t kBlockTrailerSize = 31;
inline constexpr uint8_t kBlockEndMarker = 0xFF;
// Hash index bucket values: 0 to 253 name a restart interval.
inline constexpr uint8_t kHashBucketFree = 254;
inline constexpr uint8_t kHashBucketConflict = 255;
inline constexpr uint32_t kMaxHashedIntervals = 254;
// Fatal texts of encoder misuse (callers never pass these).
inline constexpr const char* kFatalEmptyChunk = "chunk should not be empty";
inline constexpr const char* kFatalNegativeHashRatio = "hash_ratio may not be negative";

enum class BlockLayout : uint8_t {
  kData,   // entries: value type, seqno, key, value
  kIndex,  // data block pointers: marker, offset, size, seqno, end key
};

// The fields of the trailer that readers use, checked against the payload.
struct BlockTrailer {
  uint8_t restart_interval = 0;
  uint8_t step_size = 0;          // binary index entry width: 2 or 4
  uint32_t restart_count = 0;     // binary index length
  uint32_t binary_index_offset = 0;
  uint32_t hash_bucket_count = 0; // 0 when the block has no hash index
  uint32_t hash_index_offset = 0;

  // Position of the end marker: items occupy [0, items_end()).
  uint32_t items_end() const { return binary_index_offset - 1; }

  // Reads and checks the trailer: a restart interval of 0 (or not 1 in an
  // index block), a step size other than 2 or 4, or an index range outside
  // the payload makes the block corrupt.
  static TervikResult<BlockTrailer> parse(std::string_view payload, BlockLayout layout);
};

// One item decoded in place: positions into the payload, nothing copied.
// The key is the restart key's first `prefix_len` bytes (at prefix_pos)
// followed by `suffix_len` bytes at suffix_pos; a restart item has no prefix.
struct BlockItem {
  uint32_t pos = 0;   // first byte of the item
  uint32_t next = 0;  // first byte after it
  uint32_t prefix_pos = 0;
  uint32_t prefix_len = 0;
  uint32_t suffix_pos = 0;
  uint32_t suffix_len = 0;
  uint64_t seqno = 0;
  ValueType value_type = ValueType::kValue;  // data items
  uint32_t value_pos = 0;                    // data items
  uint32_t value_len = 0;
  uint64_t handle_offset = 0;                // index items
  uint32_t handle_size = 0;

  uint32_t key_len() const { return prefix_len + suffix_len; }
};

// The restart key that truncated items share their prefix with.
struct RestartKey {
  uint32_t pos = 0;
  uint32_t len = 0;
};

enum class ItemParse : uint8_t {
  kItem,          // *out holds the item
  kEnd,           // the end marker
  kDamaged,       // *reason names the fault
  kBadValueType,  // a data item's value type byte is not 0, 1, 2 or 4
};

// Parses the item at `pos` (restart form when `restart` is null, truncated
// form against it otherwise). Every field is bounded by `items_end`. Returns
// a small status so that the hot path carries no error object.
ItemParse parse_block_item(std::string_view payload, uint32_t items_end, uint32_t pos,
                           BlockLayout layout, const RestartKey* restart, BlockItem* out,
                           const char** reason);
// The error value of a failed parse at `pos`: InvalidTag("ValueType", byte)
// or Unrecoverable.
TervikError item_parse_error(ItemParse status, std::string_view payload, uint32_t pos,
                             const char* reason);

// Compares the item's key with `key` bytewise without assembling it.
int compare_item_key(std::string_view payload, const BlockItem& item, std::string_view key);

// The reason named in the log when a block is reported corrupt; the error is
// Unrecoverable.
TervikError corrupt_block(std::string_view reason);

// Appends the end marker, the binary index, the hash index (when given and
// the block has at most 254 restart intervals) and the trailer to a payload
// that starts at `out[base]`. Refuses a payload whose positions do not fit
// the u32 fields.
TervikStatus finish_block_payload(std::string* out, size_t base,
                                  const std::vector<uint64_t>& restarts,
                                  uint8_t restart_interval,
                                  const std::vector<uint8_t>* hash_buckets,
                                  uint64_t item_count);

}  // namespace tervik
