// The properties a table reader keeps from a table's meta block, and the
// parser that checks the format markers and reads every required property.
// Used by Table::recover. Plain value; the parser is a pure function.
#pragma once

#include <cstdint>

#include "tervik/block/block.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/core/seqno.h"
#include "tervik/core/slice.h"

namespace tervik {

inline constexpr const char* kMetaLogTarget = "tervik::table::meta";

struct TableMeta {
  uint64_t id = 0;
  uint64_t item_count = 0;
  uint64_t tombstone_count = 0;
  uint64_t data_block_count = 0;
  uint64_t index_block_count = 0;
  uint64_t file_size = 0;  // length of the "data" section
  uint64_t weak_tombstone_count = 0;
  uint64_t weak_tombstone_reclaimable = 0;
  unsigned __int128 created_at = 0;
  UserKey key_min;
  UserKey key_max;
  SeqNo seqno_min = 0;
  SeqNo seqno_max = 0;
  CompressionType data_compression = CompressionType::kNone;
  CompressionType index_compression = CompressionType::kNone;
};

// Parses a meta block (its type must be Meta, else InvalidTag "BlockType").
// A value too short for its type is Io "failed to fill whole buffer"; a
// compression byte above 1 is InvalidTag "CompressionType"; a missing
// property or a wrong format marker logs its message at error level and is
// Unrecoverable. Integers are read from the start of longer values.
TervikResult<TableMeta> parse_table_meta(const Block& block);

}  // namespace tervik
