// The Bloom filter writers of a table: they receive each distinct user key
// once and, when the table is finished, write one "filter" block (full form)
// or filter partitions in "filter" plus a "filter_tli" index block (partitioned
// form). No key, or a policy that yields no filter, writes no section. Owned
// by one table writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tervik/block/filter_policy.h"
#include "tervik/block/index_block.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/core/slice.h"
#include "tervik/table/index_writer.h"
#include "tervik/table/table_output.h"

namespace tervik {

inline constexpr const char* kSectionFilter = "filter";
inline constexpr const char* kSectionFilterTli = "filter_tli";

class FilterWriter {
 public:
  virtual ~FilterWriter() = default;
  virtual TervikStatus register_key(const UserKey& key) = 0;
  // Writes the filter sections, or nothing; returns the filter block count
  // stored in the table's meta block. Called once.
  virtual TervikResult<uint64_t> finish(TableOutput& out) = 0;
  virtual void set_bloom_policy(FilterPolicyEntry policy) = 0;
  virtual void set_compression(CompressionType compression) = 0;
  virtual void set_partition_size(uint32_t bytes) = 0;
};

class FullFilterWriter final : public FilterWriter {
 public:
  explicit FullFilterWriter(FilterPolicyEntry policy = FilterPolicyEntry::bits_per_key(10.0f))
      : policy_(policy) {}

  TervikStatus register_key(const UserKey& key) override;
  TervikResult<uint64_t> finish(TableOutput& out) override;
  void set_bloom_policy(FilterPolicyEntry policy) override { policy_ = policy; }
  void set_compression(CompressionType) override {}
  void set_partition_size(uint32_t) override {}

 private:
  std::vector<uint64_t> hashes_;
  FilterPolicyEntry policy_;
};

class PartitionedFilterWriter final : public FilterWriter {
 public:
  PartitionedFilterWriter(FilterPolicyEntry policy, CompressionType tli_compression,
                          uint32_t partition_size = kDefaultPartitionSize)
      : policy_(policy), partition_size_(partition_size), compression_(tli_compression) {}

  TervikStatus register_key(const UserKey& key) override;
  TervikResult<uint64_t> finish(TableOutput& out) override;
  void set_bloom_policy(FilterPolicyEntry policy) override { policy_ = policy; }
  void set_compression(CompressionType compression) override { compression_ = compression; }
  void set_partition_size(uint32_t bytes) override { partition_size_ = bytes; }

  // Bytes a filter of `n` keys takes under `policy`, as partitions are sized.
  static uint64_t estimate_bytes(const FilterPolicyEntry& policy, uint64_t n);

 private:
  TervikStatus cut_partition(const UserKey& end_key);

  std::optional<UserKey> last_key_;
  std::string partitions_;
  std::vector<IndexBlockEntry> top_level_;
  std::vector<uint64_t> hashes_;
  FilterPolicyEntry policy_;
  uint64_t size_estimate_ = 0;
  uint64_t relative_offset_ = 0;
  uint32_t partition_size_;
  CompressionType compression_;
  // Set when the policy builds no filter: nothing is written then.
  bool no_filter_ = false;
};

}  // namespace tervik
