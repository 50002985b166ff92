// The block index writers of a table: they receive one IndexBlockEntry per
// finished data block and, when the table is finished, write its block index
// as one "tli" block (full form) or as partitions in "index" plus a "tli"
// block pointing at them (partitioned form). Owned by one table writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tervik/block/block.h"
#include "tervik/block/index_block.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/table/table_output.h"

namespace tervik {

inline constexpr const char* kSectionIndex = "index";
inline constexpr const char* kSectionTli = "tli";
inline constexpr uint32_t kDefaultPartitionSize = 4096;
// Estimated bytes of an index entry beyond its end key.
inline constexpr uint32_t kIndexEntryOverhead = 48;
inline constexpr const char* kFatalEmptyPartition = "Chunk should not be empty";

class BlockIndexWriter {
 public:
  virtual ~BlockIndexWriter() = default;
  virtual TervikStatus register_data_block(IndexBlockEntry entry) = 0;
  // Writes the index sections; returns the index block count stored in the
  // table's meta block. Called once.
  virtual TervikResult<uint64_t> finish(TableOutput& out) = 0;
  virtual void set_compression(CompressionType compression) = 0;
  virtual void set_partition_size(uint32_t bytes) = 0;
};

class FullIndexWriter final : public BlockIndexWriter {
 public:
  explicit FullIndexWriter(CompressionType compression = CompressionType::kNone)
      : compression_(compression) {}

  TervikStatus register_data_block(IndexBlockEntry entry) override;
  TervikResult<uint64_t> finish(TableOutput& out) override;
  void set_compression(CompressionType compression) override { compression_ = compression; }
  void set_partition_size(uint32_t) override {}

 private:
  std::vector<IndexBlockEntry> entries_;
  CompressionType compression_;
};

class PartitionedIndexWriter final : public BlockIndexWriter {
 public:
  explicit PartitionedIndexWriter(CompressionType compression,
                                  uint32_t partition_size = kDefaultPartitionSize);

  TervikStatus register_data_block(IndexBlockEntry entry) override;
  TervikResult<uint64_t> finish(TableOutput& out) override;
  void set_compression(CompressionType compression) override { compression_ = compression; }
  void set_partition_size(uint32_t bytes) override { partition_size_ = bytes; }

 private:
  TervikStatus cut_partition();

  std::vector<IndexBlockEntry> top_level_;
  std::vector<IndexBlockEntry> open_;
  std::string scratch_;
  std::string partitions_;
  uint64_t relative_offset_ = 0;
  uint64_t partition_count_ = 0;
  uint32_t size_estimate_ = 0;
  uint32_t partition_size_;
  CompressionType compression_;
};

}  // namespace tervik
