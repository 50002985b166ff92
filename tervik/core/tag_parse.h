// Parses of stored enumeration bytes owned by this folder; an unknown byte is
// InvalidTag with the enumeration's name. Pure functions.
#pragma once

#include <cstdint>

#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/core/value_type.h"

namespace tervik {

// 0, 1, 2, 4; anything else is InvalidTag("ValueType", byte).
inline TervikResult<ValueType> parse_value_type(uint8_t byte) {
  switch (byte) {
    case 0: case 1: case 2: case 4: return static_cast<ValueType>(byte);
    default: return zv::make_unexpected(TervikError::invalid_tag(kValueTypeTagName, byte));
  }
}

// 0 None, 1 Lz4; anything else is InvalidTag("CompressionType", byte).
inline TervikResult<CompressionType> parse_compression_type(uint8_t byte) {
  if (byte <= 1) return static_cast<CompressionType>(byte);
  return zv::make_unexpected(TervikError::invalid_tag(kCompressionTypeTagName, byte));
}

}  // namespace tervik
