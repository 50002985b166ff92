// Keys of the meta keyspace (keyspace 0): an option entry is 'c', the
// keyspace id as u64 big-endian and the option name; a name entry is 'n' and
// the id. A keyspace's option entries are thus contiguous and ordered by
// option name, and all name entries sort after all option entries. Also the
// option names themselves. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morva {

using KeyspaceId = uint64_t;

inline constexpr KeyspaceId kMetaKeyspaceId = 0;
inline constexpr char kConfigKeyKind = 'c';
inline constexpr char kNameKeyKind = 'n';

// The option names, in the order their keys sort.
namespace option_name {
inline constexpr std::string_view kBlob = "blob";
inline constexpr std::string_view kBlobAgeCutoff = "blob_age_cutoff";
inline constexpr std::string_view kBlobCompression = "blob_compression";
inline constexpr std::string_view kBlobFileTargetSize = "blob_file_target_size";
inline constexpr std::string_view kBlobSeparationThreshold = "blob_separation_threshold";
inline constexpr std::string_view kBlobStalenessThreshold = "blob_staleness_threshold";
inline constexpr std::string_view kCompactionStrategy = "compaction_strategy";
inline constexpr std::string_view kDataBlockCompressionPolicy = "data_block_compression_policy";
inline constexpr std::string_view kDataBlockHashRatioPolicy = "data_block_hash_ratio_policy";
inline constexpr std::string_view kDataBlockRestartIntervalPolicy = "data_block_restart_interval_policy";
inline constexpr std::string_view kDataBlockSizePolicy = "data_block_size_policy";
inline constexpr std::string_view kExpectPointReadHits = "expect_point_read_hits";
inline constexpr std::string_view kFilterBlockPartitioningPolicy = "filter_block_partitioning_policy";
inline constexpr std::string_view kFilterBlockPinningPolicy = "filter_block_pinning_policy";
inline constexpr std::string_view kFilterPolicy = "filter_policy";
inline constexpr std::string_view kIndexBlockCompressionPolicy = "index_block_compression_policy";
inline constexpr std::string_view kIndexBlockPartitioningPolicy = "index_block_partitioning_policy";
inline constexpr std::string_view kIndexBlockPinningPolicy = "index_block_pinning_policy";
inline constexpr std::string_view kIndexBlockRestartIntervalPolicy = "index_block_restart_interval_policy";
inline constexpr std::string_view kLevelCount = "level_count";
inline constexpr std::string_view kManualJournalPersist = "manual_journal_persist";
inline constexpr std::string_view kMaxMemtableSize = "max_memtable_size";
inline constexpr std::string_view kVersion = "version";
}  // namespace option_name

// 'c' + id (big-endian) + option name, no separator.
std::string config_key(KeyspaceId id, std::string_view option_name);
// 'c' + id: the prefix every option entry of the keyspace starts with.
std::string config_key_prefix(KeyspaceId id);
// 'n' + id (big-endian).
std::string name_key(KeyspaceId id);

}  // namespace morva
