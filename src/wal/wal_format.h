// The on-disk layout shared by every write-ahead-log file: the 20-byte header
// (WalHeader), the record frame (length, payload, CRC-32C and, from format
// version 3, a 64-byte SHA-256 chain trailer) and the limits that writers and
// readers agree on. Used by WalWriter, WalReader, the valid-end scan and the
// sharded log. Pure values and functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/checksum.h"
#include "src/foundation/error.h"

namespace zv::wal {

inline constexpr Magic kWalMagic = {'Z', 'W', 'A', 'L'};
inline constexpr size_t kHeaderSize = 20;
inline constexpr uint16_t kCurrentFormatVersion = 3;
inline constexpr uint16_t kSerializerVersion = 1;
// Format version from which every frame carries the chain trailer.
inline constexpr uint16_t kChainFormatVersion = 3;
inline constexpr size_t kChainTrailerSize = 64;
// Length field + crc field around a payload.
inline constexpr size_t kFrameOverhead = 8;
// Largest payload any reader accepts; writers refuse larger ones.
inline constexpr uint32_t kMaxPayloadSize = 10'000'000;
inline constexpr uint64_t kMaxFileSize = 268'435'456;
inline constexpr uint64_t kDefaultBufferSize = 65'536;
inline constexpr uint64_t kMinBufferSize = 1'024;
inline constexpr uint64_t kMaxBufferSize = 33'554'432;

inline constexpr const char* kWalFormatLabel = "WAL format";
inline constexpr const char* kVersionZeroHint =
    "Delete WAL dir or run dump/restore before upgrading.";

// Payload of the filler record that keeps a shard's slots dense when an
// append fails or a shard is short after a crash: the compact encoding of the
// reserved record kind 5 with both fields 0, which replay passes over.
inline constexpr std::string_view kFillerPayload{"\x05\x00\x00", 3};

using ChainValue = Sha256Digest;

// Frame trailer size for a file of this format version.
inline size_t trailer_size(uint16_t format_version) {
  return format_version >= kChainFormatVersion ? kChainTrailerSize : 0;
}

// Answers whether a payload holds a record the log can replay (for the
// database: it decodes as a WalRecord). Null accepts every payload.
using PayloadValidator = bool (*)(std::string_view payload);

inline bool payload_accepted(PayloadValidator v, std::string_view payload) {
  return v == nullptr || v(payload);
}

struct WalHeader {
  uint32_t magic = 0;
  uint16_t format_version = 0;
  uint16_t serializer_version = 0;
  uint64_t created_at_ms = 0;
  uint32_t crc = 0;

  // A fresh header of this version, stamped now, with its CRC.
  static WalHeader make(uint16_t format_version);
  // Parses and checks exactly the bytes read from a file's start.
  static ZolvaResult<WalHeader> validate(std::string_view bytes);
  // The 20 bytes as laid out on disk.
  std::string encode() const;
};

// Appends one frame for `payload` to `out`. For chained versions the trailer
// is built from *chain and *chain becomes the frame's hash.
void append_frame(std::string* out, std::string_view payload, uint16_t format_version,
                  ChainValue* chain, Sha256Hasher* hasher);

// Refusal of a payload no reader would accept.
ZolvaError payload_too_large(size_t size);

}  // namespace zv::wal
