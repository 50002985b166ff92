// MetaProperties: reads the typed properties of a meta block (a data block of
// key -> little-endian value), shared by tables and blob files. An absent
// property is logged under the owner's log target and refused Unrecoverable;
// a value too short for its type is the short-read Io error. Read-only once
// built, so safe to share between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tervik/block/data_block.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/core/slice.h"

namespace tervik {

class MetaProperties {
 public:
  MetaProperties(DataBlock block, const char* log_target)
      : block_(std::move(block)), log_target_(log_target) {}

  // "meta property <key> should exist": the usual refusal of an absent key.
  static std::string missing_message(std::string_view key);

  // The whole value, or a refusal with `missing`.
  TervikResult<Slice> bytes(std::string_view key, const std::string& missing) const;
  TervikResult<uint8_t> u8(std::string_view key, const std::string& missing) const;
  TervikResult<uint64_t> u64(std::string_view key, const std::string& missing) const;
  TervikResult<uint64_t> u64(std::string_view key) const {
    return u64(key, missing_message(key));
  }
  // Sixteen bytes, low half first.
  TervikResult<unsigned __int128> u128(std::string_view key, const std::string& missing) const;
  TervikResult<CompressionType> compression(std::string_view key,
                                            const std::string& missing) const;

  // Logs `message` under the owner's target, then Unrecoverable.
  TervikError refuse(const std::string& message) const;

 private:
  DataBlock block_;
  const char* log_target_;
};

}  // namespace tervik
