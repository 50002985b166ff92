#include "tervik/table/table_meta_block.h"

#include <string>

#include "platform/coding.h"
#include "platform/file.h"
#include "platform/log.h"
#include "tervik/block/data_block.h"
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

std::string property_missing(const char* key) {
  return std::string("meta property ") + key + " should exist";
}

TervikError refuse(const std::string& message) {
  return TervikError::logged_unrecoverable(kMetaLogTarget, message);
}

class MetaReader {
 public:
  explicit MetaReader(DataBlock block) : block_(std::move(block)) {}

  // The whole value, or a refusal with `missing`.
  TervikResult<Slice> bytes(const char* key, const std::string& missing) const {
    ZV_ASSIGN_OR_RETURN(std::optional<InternalValue> v, block_.point_read(key, ~SeqNo{0}));
    if (!v) return zv::make_unexpected(refuse(missing));
    return std::move(v->value);
  }

  // A one-byte format marker that must equal `expected`. An empty value
  // has no first byte to name: it is a short value like any other.
  TervikStatus marker(const char* key, uint8_t expected, const char* missing,
                      const char* wrong) const {
    ZV_ASSIGN_OR_RETURN(Slice v, bytes(key, missing));
    if (v.empty()) return zv::make_unexpected(TervikError::short_read());
    if (v.size() != 1 || v[0] != expected) {
      return zv::make_unexpected(refuse(wrong + std::to_string(v[0])));
    }
    return {};
  }

  TervikResult<uint8_t> u8(const char* key, const std::string& missing) const {
    ZV_ASSIGN_OR_RETURN(Slice v, bytes(key, missing));
    if (v.empty()) return zv::make_unexpected(TervikError::short_read());
    return v[0];
  }

  TervikResult<uint64_t> u64(const char* key, const std::string& missing) const {
    ZV_ASSIGN_OR_RETURN(Slice v, bytes(key, missing));
    if (v.size() < 8) return zv::make_unexpected(TervikError::short_read());
    return zv::coding::get_u64_le(v.data());
  }
  TervikResult<uint64_t> u64(const char* key) const { return u64(key, property_missing(key)); }

  TervikResult<unsigned __int128> u128(const char* key, const std::string& missing) const {
    ZV_ASSIGN_OR_RETURN(Slice v, bytes(key, missing));
    if (v.size() < 16) return zv::make_unexpected(TervikError::short_read());
    const uint64_t lo = zv::coding::get_u64_le(v.data());
    const uint64_t hi = zv::coding::get_u64_le(v.data() + 8);
    return (static_cast<unsigned __int128>(hi) << 64) | lo;
  }

  TervikResult<CompressionType> compression(const char* key) const {
    ZV_ASSIGN_OR_RETURN(uint8_t b, u8(key, kCompressionMissing));
    return parse_compression_type(b);
  }

 private:
  DataBlock block_;
};

}  // namespace

TervikResult<TableMeta> parse_table_meta(const Block& block) {
  if (block.header.block_type != BlockType::kMeta) {
    return zv::make_unexpected(TervikError::invalid_tag(
        kBlockTypeTagName, static_cast<uint8_t>(block.header.block_type)));
  }
  const MetaReader r{DataBlock(block)};
  ZV_TRY(r.marker(kMetaTableVersion, kTableFormatVersion, kTableVersionMissing,
                  kTableVersionWrong));
  ZV_TRY(r.marker(kMetaFilterHashType, kMetaFilterHashXxh3, kHashTypeMissing, kHashTypeWrong));
  ZV_TRY(r.marker(kMetaChecksumType, kMetaChecksumTypeXxh3, kChecksumTypeMissing,
                  kChecksumTypeWrong));
  ZV_ASSIGN_OR_RETURN(uint8_t restart,
                      r.u8(kMetaRestartIntervalIndex, property_missing(kMetaRestartIntervalIndex)));
  if (restart != 1) return zv::make_unexpected(refuse(kRestartIntervalWrong));

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
  ZV_ASSIGN_OR_RETURN(m.data_compression, r.compression(kMetaCompressionData));
  ZV_ASSIGN_OR_RETURN(m.index_compression, r.compression(kMetaCompressionIndex));
  return m;
}

}  // namespace tervik
