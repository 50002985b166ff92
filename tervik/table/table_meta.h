// The names and constants of a table file's layout: its sections and the keys
// of its meta block, in the ascending byte order the meta block stores them.
// Shared by the table writer and the table reader. Constants only.
#pragma once

#include <cstdint>

namespace tervik {

inline constexpr const char* kSectionData = "data";
inline constexpr const char* kSectionTableVersion = "table_version";
inline constexpr const char* kSectionMeta = "meta";

inline constexpr uint8_t kTableFormatVersion = 3;
inline constexpr const char* kTableCoreVersion = "3.1.10";
inline constexpr uint8_t kMetaChecksumTypeXxh3 = 0;
inline constexpr uint8_t kMetaFilterHashXxh3 = 0;

inline constexpr const char* kMetaBlockCountData = "block_count#data";
inline constexpr const char* kMetaBlockCountFilter = "block_count#filter";
inline constexpr const char* kMetaBlockCountIndex = "block_count#index";
inline constexpr const char* kMetaChecksumType = "checksum_type";
inline constexpr const char* kMetaCompressionData = "compression#data";
inline constexpr const char* kMetaCompressionIndex = "compression#index";
inline constexpr const char* kMetaCoreVersion = "core_version";
inline constexpr const char* kMetaCreatedAt = "created_at";
inline constexpr const char* kMetaDataBlockHashRatio = "data_block_hash_ratio";
inline constexpr const char* kMetaFileSize = "file_size";
inline constexpr const char* kMetaFilterHashType = "filter_hash_type";
inline constexpr const char* kMetaIndexKeysHaveSeqno = "index_keys_have_seqno";
inline constexpr const char* kMetaInitialLevel = "initial_level";
inline constexpr const char* kMetaItemCount = "item_count";
inline constexpr const char* kMetaKeyMax = "key#max";
inline constexpr const char* kMetaKeyMin = "key#min";
inline constexpr const char* kMetaKeyCount = "key_count";
inline constexpr const char* kMetaPrefixTruncationData = "prefix_truncation#data";
inline constexpr const char* kMetaPrefixTruncationIndex = "prefix_truncation#index";
inline constexpr const char* kMetaRestartIntervalData = "restart_interval#data";
inline constexpr const char* kMetaRestartIntervalIndex = "restart_interval#index";
inline constexpr const char* kMetaSeqnoMax = "seqno#max";
inline constexpr const char* kMetaSeqnoMin = "seqno#min";
inline constexpr const char* kMetaTableId = "table_id";
inline constexpr const char* kMetaTableVersion = "table_version";
inline constexpr const char* kMetaTombstoneCount = "tombstone_count";
inline constexpr const char* kMetaUserDataSize = "user_data_size";
inline constexpr const char* kMetaWeakTombstoneCount = "weak_tombstone_count";
inline constexpr const char* kMetaWeakTombstoneReclaimable = "weak_tombstone_reclaimable";

}  // namespace tervik
