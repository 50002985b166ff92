#include "tervik/blob/blob_file_meta.h"

#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "platform/coding.h"
#include "platform/log.h"
#include "tervik/blob/blob_entry.h"
#include "tervik/block/block.h"
#include "tervik/block/data_block.h"
#include "tervik/block/meta_properties.h"
#include "tervik/core/internal_value.h"
#include "tervik/core/tag_parse.h"

namespace tervik {

namespace {

InternalValue property(std::string_view key, std::string_view value) {
  return InternalValue::new_value(Slice(key), Slice(value), 0);
}

}  // namespace

TervikResult<std::string> encode_blob_meta_payload(const BlobFileMeta& meta) {
  const std::string compression(1, static_cast<char>(meta.compression));
  const std::string version(1, static_cast<char>(kBlobFileFormatVersion));
  const std::string checksum_type(1, static_cast<char>(kBlobChecksumTypeXxh3));
  const std::vector<InternalValue> items = {
      property(kBlobMetaFileVersion, version),
      property(kBlobMetaChecksumType, checksum_type),
      property(kBlobMetaCompression, compression),
      property(kBlobMetaCoreVersion, kBlobCoreVersion),
      property(kBlobMetaCreatedAt, zv::coding::u128_le_bytes(meta.created_at)),
      property(kBlobMetaFileSize, zv::coding::u64_le_bytes(meta.file_size)),
      property(kBlobMetaId, zv::coding::u64_le_bytes(meta.id)),
      property(kBlobMetaItemCount, zv::coding::u64_le_bytes(meta.item_count)),
      InternalValue::new_value(Slice(kBlobMetaKeyMax), meta.key_max, 0),
      InternalValue::new_value(Slice(kBlobMetaKeyMin), meta.key_min, 0),
      property(kBlobMetaUncompressedSize, zv::coding::u64_le_bytes(meta.uncompressed_size)),
  };
  std::string payload;
  ZV_TRY(DataBlock::encode_into(&payload, items, 1, 0.0f));
  return payload;
}

TervikResult<BlobFileMeta> decode_blob_meta_section(std::string_view section) {
  if (section.size() < kBlobMetaMagic.size()) return zv::make_unexpected(TervikError::short_read());
  if (section.substr(0, kBlobMetaMagic.size()) != kBlobMetaMagic) {
    return zv::make_unexpected(TervikError::invalid_header(kBlobFileMetaHeaderName));
  }
  std::string_view rest = section.substr(kBlobMetaMagic.size());
  ZV_ASSIGN_OR_RETURN(BlockHeader header, BlockHeader::decode(rest));
  rest.remove_prefix(kBlockHeaderSize);
  if (rest.size() < header.data_length) return zv::make_unexpected(TervikError::short_read());
  const std::string_view payload = rest.substr(0, header.data_length);
  const Checksum got = Checksum::of(payload);
  if (got != header.checksum) {
    ZV_ERROR(kBlobLogTarget, "Checksum mismatch for blob file meta block, got=" +
                                 got.debug_string() + ", expected=" +
                                 header.checksum.debug_string());
    return zv::make_unexpected(TervikError::checksum_mismatch(got, header.checksum));
  }
  Block block;
  block.header = header;
  block.data = Slice(payload);
  const MetaProperties data(DataBlock(std::move(block)), kBlobLogTarget);

  BlobFileMeta meta;
  ZV_ASSIGN_OR_RETURN(meta.id, data.u64(kBlobMetaId));
  ZV_ASSIGN_OR_RETURN(meta.created_at,
                      data.u128(kBlobMetaCreatedAt, "meta property created_at should exist"));
  ZV_ASSIGN_OR_RETURN(meta.item_count, data.u64(kBlobMetaItemCount));
  ZV_ASSIGN_OR_RETURN(meta.file_size, data.u64(kBlobMetaFileSize));
  ZV_ASSIGN_OR_RETURN(meta.uncompressed_size, data.u64(kBlobMetaUncompressedSize));
  ZV_ASSIGN_OR_RETURN(meta.compression,
                      data.compression(kBlobMetaCompression, "compression should exist"));
  ZV_ASSIGN_OR_RETURN(meta.key_min, data.bytes(kBlobMetaKeyMin, "key min should exist"));
  ZV_ASSIGN_OR_RETURN(meta.key_max, data.bytes(kBlobMetaKeyMax, "key max should exist"));
  return meta;
}

}  // namespace tervik
