// Everything a tree is opened with: its folder, the per-level policies that
// decide how tables are written and read, optional key-value separation, the
// shared caches and sequence-number counters, and an optional compaction
// filter factory. Built with defaults and chained setters by the key-value
// engine (one per keyspace); immutable and shared once the tree is open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tervik/block/filter_policy.h"
#include "tervik/config/block_cache.h"
#include "tervik/config/compaction_filter_factory.h"
#include "tervik/config/descriptor_cache.h"
#include "tervik/config/kv_separation_options.h"
#include "tervik/config/policy.h"
#include "tervik/core/seqno.h"

namespace tervik {

inline constexpr const char* kFatalNotAbsolutePath = "should be absolute path";
inline constexpr const char* kDefaultTreeFolder = ".lsm.data";
inline constexpr uint8_t kDefaultLevelCount = 7;

// Bloom filter setting per level.
class FilterPolicy : public LevelPolicy<FilterPolicyEntry> {
 public:
  using LevelPolicy::LevelPolicy;
  // Exactly these two entries, in this order.
  static FilterPolicy of(FilterPolicyEntry first, FilterPolicyEntry second) {
    return FilterPolicy{first, second};
  }
};

struct TreeConfig {
  // The defaults, in the folder ".lsm.data" of the current directory.
  static TreeConfig defaults();
  // The defaults in `folder` (made absolute; empty is a broken invariant) with
  // the given shared counters.
  static TreeConfig create(const std::string& folder, SeqNoCounter seqno, SeqNoCounter visible_seqno);

  // Chained setters: each replaces one field and returns the configuration.
  TreeConfig with_data_block_size_policy(BlockSizePolicy p) &&;
  TreeConfig with_data_block_hash_ratio_policy(HashRatioPolicy p) &&;
  TreeConfig with_data_block_compression_policy(CompressionPolicy p) &&;
  TreeConfig with_index_block_compression_policy(CompressionPolicy p) &&;
  TreeConfig with_data_block_restart_interval_policy(RestartIntervalPolicy p) &&;
  TreeConfig with_filter_policy(FilterPolicy p) &&;
  TreeConfig use_cache(std::shared_ptr<BlockCache> c) &&;
  TreeConfig use_descriptor_table(std::shared_ptr<FileDescriptorCache> c) &&;

  std::string path;
  BlockSizePolicy data_block_size_policy{4096};
  RestartIntervalPolicy data_block_restart_interval_policy{16};
  RestartIntervalPolicy index_block_restart_interval_policy{1};
  // Levels 0 and 1 stay uncompressed; LZ4 from level 2 on.
  CompressionPolicy data_block_compression_policy{CompressionType::kNone, CompressionType::kNone,
                                                  CompressionType::kLz4};
  CompressionPolicy index_block_compression_policy{CompressionType::kNone};
  HashRatioPolicy data_block_hash_ratio_policy{0.0f};
  PinningPolicy index_block_pinning_policy{true, true, false};
  PinningPolicy filter_block_pinning_policy{true, false};
  // Partitioned from level 2, where compressed tables of the target size hold
  // millions of entries: a whole filter and index of such a table (several
  // MB each) would crowd each other out of the cache on every read.
  PinningPolicy index_block_partitioning_policy{false, false, true};
  PinningPolicy filter_block_partitioning_policy{false, false, true};
  FilterPolicy filter_policy{FilterPolicyEntry::bits_per_key(10.0f)};
  std::optional<KvSeparationOptions> kv_separation_opts;
  std::shared_ptr<BlockCache> cache;
  std::shared_ptr<FileDescriptorCache> descriptor_table;
  SeqNoCounter seqno;
  SeqNoCounter visible_seqno;
  std::shared_ptr<CompactionFilterFactory> compaction_filter_factory;
  bool expect_point_read_hits = false;
  uint8_t level_count = kDefaultLevelCount;

 private:
  TreeConfig() = default;
};

}  // namespace tervik
