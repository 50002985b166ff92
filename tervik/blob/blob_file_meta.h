// The "meta" section of a blob file: "META" and one uncompressed block of
// type Meta whose payload is a data block of eleven properties. The blob
// writer encodes it; blob file recovery checks and decodes it. Plain values
// and pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/core/slice.h"

namespace tervik {

// Property keys, in their stored (ascending) order.
inline constexpr std::string_view kBlobMetaFileVersion = "blob_file_version";
inline constexpr std::string_view kBlobMetaChecksumType = "checksum_type";
inline constexpr std::string_view kBlobMetaCompression = "compression";
inline constexpr std::string_view kBlobMetaCoreVersion = "core_version";
inline constexpr std::string_view kBlobMetaCreatedAt = "created_at";
inline constexpr std::string_view kBlobMetaFileSize = "file_size";
inline constexpr std::string_view kBlobMetaId = "id";
inline constexpr std::string_view kBlobMetaItemCount = "item_count";
inline constexpr std::string_view kBlobMetaKeyMax = "key#max";
inline constexpr std::string_view kBlobMetaKeyMin = "key#min";
inline constexpr std::string_view kBlobMetaUncompressedSize = "uncompressed_size";

inline constexpr uint8_t kBlobFileFormatVersion = 3;
inline constexpr uint8_t kBlobChecksumTypeXxh3 = 0;
inline constexpr std::string_view kBlobCoreVersion = "3.1.10";
// Named by InvalidHeader when the meta section does not start with "META".
inline constexpr std::string_view kBlobFileMetaHeaderName = "BlobFileMeta";
inline constexpr const char* kBlobLogTarget = "tervik::vlog::blob_file";
inline constexpr const char* kVlogLogTarget = "tervik::vlog";

struct BlobFileMeta {
  uint64_t id = 0;
  unsigned __int128 created_at = 0;  // nanoseconds since the Unix epoch
  UserKey key_min;
  UserKey key_max;
  uint64_t item_count = 0;
  uint64_t file_size = 0;          // sum of stored value lengths
  uint64_t uncompressed_size = 0;  // sum of value lengths
  CompressionType compression = CompressionType::kNone;
};

// The data block payload holding the eleven properties.
TervikResult<std::string> encode_blob_meta_payload(const BlobFileMeta& meta);

// Decodes a whole "meta" section: "META" (fewer than 4 bytes: Io; else
// InvalidHeader "BlobFileMeta"), the block header (its errors), the payload
// (short: Io) against its checksum (ChecksumMismatch, logged), then the
// properties by point reads: a short value is Io, a compression byte other
// than 0 or 1 InvalidTag("CompressionType", byte), a missing property is
// logged at error level and Unrecoverable.
TervikResult<BlobFileMeta> decode_blob_meta_section(std::string_view section);

}  // namespace tervik
