#include "tervik/table/table_meta_block.h"

#include <string>

#include "platform/coding.h"
#include "platform/file.h"
#include "platform/log.h"
#include "tervik/block/data_block.h"
#include "tervik/block/meta_properties.h"
#include "tervik/core/tag_parse.h"
#include "tervik/table/table_meta.h"

namespace tervik {

namespace {

constexpr const char* kTableVersionMissing = "Table version should exist";
constexpr const char* kTableVersionWrong = "unspported table version ";
constexpr const char* kHashTypeMissing = "Filter hash type should exist";
constexpr const char* kHashTypeWrong = "invalid hash type: ";
constexpr const char* kChecksumTypeMissing = "Checksum type should exist";
constexpr const char* kChecksumTypeWrong = "invalid checksum type: ";
constexpr const char* kRestartIntervalWrong =
    "index block restart intervals >1 are not supported for this version";
constexpr const char* kCreatedAtMissing = "created_at timestamp should exist";
constexpr const char* kKeyMinMissing = "key min should exist";
constexpr const char* kKeyMaxMissing = "key max should exist";
constexpr const char* kSeqnoMinMissing = "seqno min should exist";
constexpr const char* kSeqnoMaxMissing = "seqno max should exist";
constexpr const char* kCompressionMissing = "size should exist";

// A one-byte format marker that must equal `expected`. An empty value has no
// first byte to name: it is a short value like any other.
TervikStatus marker(const MetaProperties& r, const char* key, uint8_t expected,
                    const char* missing, const char* wrong) {
  ZV_ASSIGN_OR_RETURN(Slice v, r.bytes(key, missing));
  if (v.empty()) return zv::make_unexpected(TervikError::short_read());
  if (v.size() != 1 || v[0] != expected) {
    return zv::make_unexpected(r.refuse(wrong + std::to_string(v[0])));
  }
  return {};
}

}  // namespace

TervikResult<TableMeta> parse_table_meta(const Block& block) {
  if (block.header.block_type != BlockType::kMeta) {
    return zv::make_unexpected(TervikError::invalid_tag(
        kBlockTypeTagName, static_cast<uint8_t>(block.header.block_type)));
  }
  const MetaProperties r(DataBlock(block), kMetaLogTarget);
  ZV_TRY(marker(r, kMetaTableVersion, kTableFormatVersion, kTableVersionMissing,
                  kTableVersionWrong));
  ZV_TRY(marker(r, kMetaFilterHashType, kMetaFilterHashXxh3, kHashTypeMissing, kHashTypeWrong));
  ZV_TRY(marker(r, kMetaChecksumType, kMetaChecksumTypeXxh3, kChecksumTypeMissing,
                  kChecksumTypeWrong));
  ZV_ASSIGN_OR_RETURN(uint8_t restart,
                      r.u8(kMetaRestartIntervalIndex, MetaProperties::missing_message(kMetaRestartIntervalIndex)));
  if (restart != 1) return zv::make_unexpected(r.refuse(kRestartIntervalWrong));

  TableMeta m;
  ZV_ASSIGN_OR_RETURN(m.id, r.u64(kMetaTableId));
  ZV_ASSIGN_OR_RETURN(m.item_count, r.u64(kMetaItemCount));
  ZV_ASSIGN_OR_RETURN(m.tombstone_count, r.u64(kMetaTombstoneCount));
  ZV_ASSIGN_OR_RETURN(m.data_block_count, r.u64(kMetaBlockCountData));
  ZV_ASSIGN_OR_RETURN(m.index_block_count, r.u64(kMetaBlockCountIndex));
  ZV_TRY(r.u64(kMetaBlockCountFilter));  // required, not kept
  ZV_ASSIGN_OR_RETURN(m.file_size, r.u64(kMetaFileSize));
  ZV_ASSIGN_OR_RETURN(m.weak_tombstone_count, r.u64(kMetaWeakTombstoneCount));
  ZV_ASSIGN_OR_RETURN(m.weak_tombstone_reclaimable, r.u64(kMetaWeakTombstoneReclaimable));
  ZV_ASSIGN_OR_RETURN(m.created_at, r.u128(kMetaCreatedAt, kCreatedAtMissing));
  ZV_ASSIGN_OR_RETURN(m.key_min, r.bytes(kMetaKeyMin, kKeyMinMissing));
  ZV_ASSIGN_OR_RETURN(m.key_max, r.bytes(kMetaKeyMax, kKeyMaxMissing));
  ZV_ASSIGN_OR_RETURN(m.seqno_min, r.u64(kMetaSeqnoMin, kSeqnoMinMissing));
  ZV_ASSIGN_OR_RETURN(m.seqno_max, r.u64(kMetaSeqnoMax, kSeqnoMaxMissing));
  ZV_ASSIGN_OR_RETURN(m.data_compression, r.compression(kMetaCompressionData, kCompressionMissing));
  ZV_ASSIGN_OR_RETURN(m.index_compression, r.compression(kMetaCompressionIndex, kCompressionMissing));
  return m;
}

}  // namespace tervik
