// KeyspaceCreateOptions: the immutable options record of a keyspace with its
// defaults, how it reaches the tree configuration, and the stored encodings
// of its per-level policies with their decoders. Damaged stored options are
// errors (Unrecoverable, logged), never a stop of the process. Plain values
// and pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "morva/src/error.h"
#include "tervik/compaction/strategy.h"
#include "tervik/config/kv_separation_options.h"
#include "tervik/config/policy.h"
#include "tervik/config/tree_config.h"

namespace morva {

struct KeyspaceCreateOptions {
  // The defaults, with a newly made leveled strategy.
  static KeyspaceCreateOptions defaults();

  tervik::HashRatioPolicy data_block_hash_ratio_policy{0.0f};
  tervik::BlockSizePolicy data_block_size_policy{4096};
  tervik::RestartIntervalPolicy data_block_restart_interval_policy{10, 16};
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
  uint64_t max_memtable_size = 64ull * 1024 * 1024;
  bool expect_point_read_hits = false;
  bool manual_journal_persist = false;
  uint8_t level_count = tervik::kDefaultLevelCount;

  // Replaces the tree settings these options carry; the index block restart
  // interval, level count, strategy, memtable size and journal persist flag
  // stay out.
  tervik::TreeConfig apply_to_tree_config(tervik::TreeConfig config) const;
};

// Stored encodings: a count byte (1 to 255 entries), then the entries.
std::string encode_word_policy(const tervik::BlockSizePolicy& p);
std::string encode_word_policy(const tervik::HashRatioPolicy& p);
std::string encode_word_policy(const std::vector<float>& entries);
std::string encode_byte_policy(const tervik::RestartIntervalPolicy& p);
std::string encode_byte_policy(const tervik::CompressionPolicy& p);
std::string encode_byte_policy(const tervik::PinningPolicy& p);
std::string encode_filter_policy(const tervik::FilterPolicy& p);
std::string encode_byte(uint8_t v);

// Decoders of one stored value; bytes after the last entry are ignored.
MorvaResult<tervik::BlockSizePolicy> decode_block_size_policy(std::string_view bytes);
MorvaResult<tervik::HashRatioPolicy> decode_hash_ratio_policy(std::string_view bytes);
MorvaResult<tervik::RestartIntervalPolicy> decode_restart_interval_policy(std::string_view bytes);
MorvaResult<tervik::CompressionPolicy> decode_compression_policy(std::string_view bytes);
MorvaResult<tervik::PinningPolicy> decode_pinning_policy(std::string_view bytes);
MorvaResult<tervik::FilterPolicy> decode_filter_policy(std::string_view bytes);

}  // namespace morva
