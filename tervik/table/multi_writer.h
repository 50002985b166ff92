// Writes a sorted stream of entries as tables of about a target size in one
// folder, ids from the tree's shared counter, rotating only where a new user
// key begins; blob references count for the table holding them, and the
// folder is synced before the finished tables are returned. Used by flush,
// ingestion and compaction; belongs to one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "tervik/block/filter_policy.h"
#include "tervik/core/blob_indirection.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/core/folder_sync.h"
#include "tervik/core/internal_value.h"
#include "tervik/core/seqno.h"
#include "tervik/table/linked_blob_file.h"
#include "tervik/table/table_writer.h"

namespace tervik {

inline constexpr uint32_t kMaxDataBlockSize = 4u * 1024 * 1024;
inline constexpr const char* kFatalDataBlockTooLarge = "data block size must be <= 4 MiB";
inline constexpr const char* kMultiWriterTarget = "tervik::table::multi_writer";

class MultiWriter {
 public:
  // Takes the first table id and creates its file in `folder`.
  static TervikResult<MultiWriter> create(std::string folder, SeqNoCounter table_ids,
                                          uint64_t target_size, uint8_t initial_level);

  MultiWriter(MultiWriter&&) = default;
  MultiWriter& operator=(MultiWriter&&) = default;

  // Builder steps: each is remembered for later tables and applied to the
  // current one at once. Applied before the first write.
  MultiWriter& use_data_block_size(uint32_t bytes);
  MultiWriter& use_data_block_restart_interval(uint8_t interval);
  MultiWriter& use_index_block_restart_interval(uint8_t interval);
  MultiWriter& use_data_block_compression(CompressionType compression);
  MultiWriter& use_data_block_hash_ratio(float ratio);
  MultiWriter& use_index_block_compression(CompressionType compression);
  MultiWriter& use_bloom_policy(FilterPolicyEntry policy);
  MultiWriter& use_partitioned_index();
  MultiWriter& use_partitioned_filter();

  // Items in internal key order (not checked).
  TervikStatus write(InternalValue item);
  // Counts a blob reference for the table that took the last item.
  void register_blob(const BlobIndirection& indirection);
  // The written tables in finishing order. Consumes the writer.
  TervikResult<std::vector<WrittenTable>> finish() &&;

  // Replaces the folder sync that `finish` runs (tests record it).
  void set_folder_sync(FolderSync sync) { sync_folder_ = std::move(sync); }

  // The table being written.
  const TableWriter& current() const { return *writer_; }

 private:
  struct Options {
    uint32_t data_block_size = 4096;
    uint8_t data_block_restart_interval = 16;
    uint8_t index_block_restart_interval = 1;
    CompressionType data_block_compression = CompressionType::kNone;
    CompressionType index_block_compression = CompressionType::kNone;
    float data_block_hash_ratio = 0.0f;
    FilterPolicyEntry bloom_policy = FilterPolicyEntry::bits_per_key(10.0f);
    bool partitioned_index = false;
    bool partitioned_filter = false;
  };

  MultiWriter(std::string folder, SeqNoCounter table_ids, uint64_t target_size,
              uint8_t initial_level, TableWriter first);
  static TervikResult<TableWriter> start_table(const std::string& folder, const SeqNoCounter& ids,
                                               uint8_t initial_level);
  TervikStatus rotate();
  std::vector<LinkedBlobFile> take_linked_blob_files();

  std::string folder_;
  SeqNoCounter table_ids_;
  uint64_t target_size_;
  uint8_t initial_level_;
  Options options_;
  std::optional<TableWriter> writer_;
  std::unordered_map<uint64_t, LinkedBlobFile> linked_;
  std::vector<WrittenTable> results_;
  std::optional<UserKey> current_key_;
  FolderSync sync_folder_ = default_folder_sync();
};

}  // namespace tervik
