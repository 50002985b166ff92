// The immutable options record of one keyspace: the policies handed to its
// tree, key-value separation, its compaction strategy, the memtable size at
// which it is sealed and whether writes persist the journal themselves.
// Stored in the meta keyspace when the keyspace is created and read back at
// every open. A plain value; the strategy object it shares is immutable.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "tervik/compaction/strategy.h"
#include "tervik/config/kv_separation_options.h"
#include "tervik/config/policy.h"
#include "tervik/config/tree_config.h"

namespace morva {

inline constexpr uint64_t kDefaultMaxMemtableSize = 64ull * 1024 * 1024;

struct KeyspaceCreateOptions {
  // Builds the defaults with a newly made leveled strategy.
  KeyspaceCreateOptions();

  tervik::HashRatioPolicy data_block_hash_ratio_policy{0.0f};
  tervik::BlockSizePolicy data_block_size_policy{4096};
  // 10 on level 0, 16 below.
  tervik::RestartIntervalPolicy data_block_restart_interval_policy{10, 16};
  // Stored and read back only; the tree keeps its own.
  tervik::RestartIntervalPolicy index_block_restart_interval_policy{1};
  tervik::PinningPolicy index_block_pinning_policy{true, true, false};
  tervik::PinningPolicy filter_block_pinning_policy{true, false};
  tervik::PinningPolicy filter_block_partitioning_policy{false, false, false, true};
  tervik::PinningPolicy index_block_partitioning_policy{false, false, false, true};
  tervik::FilterPolicy filter_policy = tervik::FilterPolicy::of(
      tervik::FilterPolicyEntry::false_positive_rate(0.0001f), tervik::FilterPolicyEntry::bits_per_key(10.0f));
  tervik::CompressionPolicy data_block_compression_policy{
      tervik::CompressionType::kNone, tervik::CompressionType::kNone, tervik::CompressionType::kLz4};
  tervik::CompressionPolicy index_block_compression_policy{tervik::CompressionType::kNone};
  std::optional<tervik::KvSeparationOptions> kv_separation;
  tervik::compaction::StrategyHandle compaction_strategy;
  uint64_t max_memtable_size = kDefaultMaxMemtableSize;
  bool expect_point_read_hits = false;
  // True: a single-key write leaves persisting the journal to the caller.
  bool manual_journal_persist = false;
  // Stored only; the tree is not told.
  uint8_t level_count = tervik::kDefaultLevelCount;

  // Hands the tree its settings, each replacing the configuration's value:
  // block sizes, compression, data restart intervals, pinning, partitioning,
  // hash ratio, filter, key-value separation and expect_point_read_hits.
  tervik::TreeConfig apply_to_tree_config(tervik::TreeConfig config) const;
};

}  // namespace morva
