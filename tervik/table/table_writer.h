// Writes one table file from a stream of entries in internal key order: cuts
// data blocks, feeds the block index and filter writers, keeps the table's
// statistics, and on finish writes the index, filter, linked blob files,
// table version and meta sections inside the archive container. Created and
// rotated by the multi-writer; belongs to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tervik/block/filter_policy.h"
#include "tervik/core/checksum.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"
#include "tervik/table/filter_writer.h"
#include "tervik/table/index_writer.h"
#include "tervik/table/linked_blob_file.h"
#include "tervik/table/table_output.h"

namespace tervik {

inline constexpr const char* kFatalNoFolder = "should have folder";
inline constexpr const char* kFatalChunkEmpty = "chunk should not be empty";
inline constexpr const char* kTableWriterTarget = "tervik::table::writer";

// A finished table: its id and the XXH3-128 of the whole file.
struct WrittenTable {
  uint64_t id = 0;
  Checksum checksum;
  bool operator==(const WrittenTable&) const = default;
};

class TableWriter {
 public:
  // A block handle's u32 size bounds every section but "data".
  static constexpr uint64_t kMaxRegionLength = 0xFFFF'FFFFull;

  // Creates the file at `path` (failing, and leaving the file alone, when the
  // name exists) with the "data" section open.
  static TervikResult<TableWriter> create(const std::string& path, uint64_t table_id,
                                          uint8_t initial_level);

  TableWriter(TableWriter&&) = default;
  TableWriter& operator=(TableWriter&&) = default;

  // Option steps, applied before the first item.
  TableWriter& use_bloom_policy(FilterPolicyEntry policy);
  TableWriter& use_partitioned_index();
  TableWriter& use_partitioned_filter();
  TableWriter& use_index_block_compression(CompressionType compression);
  // Refuses tables with a non-data section longer than `bytes` (the default
  // is what a block handle can describe).
  TableWriter& use_max_region_length(uint64_t bytes);

  // Items in internal key order (not checked).
  TervikStatus write(InternalValue item);
  // None when no item was written (the file is deleted); else the table.
  // Consumes the writer.
  TervikResult<std::optional<WrittenTable>> finish() &&;

  uint64_t id() const { return table_id_; }
  const std::string& path() const { return path_; }
  // Bytes of data blocks written so far.
  uint64_t data_position() const { return data_position_; }

  // Plain settings, assigned directly before the first item.
  uint32_t data_block_size = 4096;
  uint8_t data_block_restart_interval = 16;
  uint8_t index_block_restart_interval = 1;
  CompressionType data_block_compression = CompressionType::kNone;
  float data_block_hash_ratio = 0.0f;
  // Filled by the multi-writer just before finish.
  std::vector<LinkedBlobFile> linked_blob_files;

 private:
  TableWriter(std::string path, uint64_t table_id, uint8_t initial_level,
              std::unique_ptr<TableOutput> out);

  TervikStatus spill_block();
  TervikStatus write_meta_block(uint64_t index_blocks, uint64_t filter_blocks);
  TervikStatus check_regions() const;
  // Closes and deletes the file after a refused table.
  void discard_file();

  std::string path_;
  uint64_t table_id_;
  uint8_t initial_level_;
  std::unique_ptr<TableOutput> out_;
  std::unique_ptr<BlockIndexWriter> index_writer_;
  std::unique_ptr<FilterWriter> filter_writer_;
  CompressionType index_block_compression_ = CompressionType::kNone;
  FilterPolicyEntry bloom_policy_ = FilterPolicyEntry::bits_per_key(10.0f);
  uint64_t max_region_length_ = kMaxRegionLength;

  std::vector<InternalValue> block_items_;
  uint64_t block_size_ = 0;
  std::string scratch_;

  struct PrevItem {
    UserKey key;
    ValueType type;
  };
  std::optional<PrevItem> prev_;
  std::optional<UserKey> current_key_;
  std::optional<UserKey> first_key_;
  std::optional<UserKey> last_key_;

  uint64_t data_block_count_ = 0;
  uint64_t item_count_ = 0;
  uint64_t tombstone_count_ = 0;
  uint64_t weak_tombstone_count_ = 0;
  uint64_t weak_tombstone_reclaimable_ = 0;
  uint64_t key_count_ = 0;
  uint64_t data_position_ = 0;
  uint64_t uncompressed_size_ = 0;
  SeqNo lowest_seqno_ = ~SeqNo{0};
  SeqNo highest_seqno_ = 0;
};

}  // namespace tervik
