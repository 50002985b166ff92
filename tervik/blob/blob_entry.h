// The blob entry: one separated value in a blob file's "data" section, a
// 38-byte header ("BLOB", checksum of key and stored value, seqno, lengths)
// followed by the key and the stored value. Shared by the blob writer, the
// scanner and value resolution. Pure functions and constants.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tervik/core/checksum.h"
#include "tervik/core/error.h"
#include "tervik/core/seqno.h"

namespace tervik {

inline constexpr std::string_view kBlobEntryMagic = "BLOB";
// The meta section begins with this: where the entries end.
inline constexpr std::string_view kBlobMetaMagic = "META";
inline constexpr size_t kBlobEntryHeaderSize = 38;
// Named by InvalidHeader when an entry does not start with "BLOB".
inline constexpr std::string_view kBlobHeaderName = "Blob";

// Field offsets inside the header.
inline constexpr size_t kBlobChecksumOffset = 4;
inline constexpr size_t kBlobSeqNoOffset = 20;
inline constexpr size_t kBlobKeyLengthOffset = 28;
inline constexpr size_t kBlobValueLengthOffset = 30;
inline constexpr size_t kBlobStoredLengthOffset = 34;

struct BlobEntryHeader {
  Checksum checksum;        // XXH3-128 of key then stored value
  SeqNo seqno = 0;
  uint16_t key_length = 0;
  uint32_t value_length = 0;   // before compression
  uint32_t stored_length = 0;  // stored value bytes

  // The 38 stored bytes, magic included.
  void encode_to(char out[kBlobEntryHeaderSize]) const;
  // Decodes from at least 38 bytes that begin with the magic (unchecked).
  static BlobEntryHeader decode(const char* in);
  // Checks as the read path does: fewer than 4 bytes is Io (unexpected end
  // of file), a wrong magic InvalidHeader("Blob"), fewer than 38 bytes Io.
  static TervikResult<BlobEntryHeader> parse(std::string_view bytes);
};

// XXH3-128 (seed 0) over the key followed by the stored value.
Checksum blob_entry_checksum(std::string_view key, std::string_view stored);

}  // namespace tervik
