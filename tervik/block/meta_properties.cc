#include "tervik/block/meta_properties.h"

#include <optional>

#include "platform/coding.h"
#include "tervik/core/internal_value.h"
#include "tervik/core/tag_parse.h"

namespace tervik {

std::string MetaProperties::missing_message(std::string_view key) {
  return "meta property " + std::string(key) + " should exist";
}

TervikError MetaProperties::refuse(const std::string& message) const {
  return TervikError::logged_unrecoverable(log_target_, message);
}

TervikResult<Slice> MetaProperties::bytes(std::string_view key,
                                          const std::string& missing) const {
  ZV_ASSIGN_OR_RETURN(std::optional<InternalValue> v, block_.point_read(key, ~SeqNo{0}));
  if (!v) return zv::make_unexpected(refuse(missing));
  return std::move(v->value);
}

TervikResult<uint8_t> MetaProperties::u8(std::string_view key, const std::string& missing) const {
  ZV_ASSIGN_OR_RETURN(Slice v, bytes(key, missing));
  if (v.empty()) return zv::make_unexpected(TervikError::short_read());
  return static_cast<uint8_t>(v[0]);
}

TervikResult<uint64_t> MetaProperties::u64(std::string_view key,
                                           const std::string& missing) const {
  ZV_ASSIGN_OR_RETURN(Slice v, bytes(key, missing));
  if (v.size() < 8) return zv::make_unexpected(TervikError::short_read());
  return zv::coding::get_u64_le(v.data());
}

TervikResult<unsigned __int128> MetaProperties::u128(std::string_view key,
                                                     const std::string& missing) const {
  ZV_ASSIGN_OR_RETURN(Slice v, bytes(key, missing));
  if (v.size() < 16) return zv::make_unexpected(TervikError::short_read());
  const uint64_t lo = zv::coding::get_u64_le(v.data());
  const uint64_t hi = zv::coding::get_u64_le(v.data() + 8);
  return (static_cast<unsigned __int128>(hi) << 64) | lo;
}

TervikResult<CompressionType> MetaProperties::compression(std::string_view key,
                                                          const std::string& missing) const {
  ZV_ASSIGN_OR_RETURN(uint8_t b, u8(key, missing));
  return parse_compression_type(b);
}

}  // namespace tervik
