#include "morva/src/option_codec.h"

#include <vector>

#include "platform/coding.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "tervik/core/tag_parse.h"

namespace morva {
namespace {

using tervik::CompressionType;
using tervik::FilterPolicyEntry;

constexpr size_t kMaxPolicyEntries = 255;
constexpr uint8_t kFilterTagNone = 0;
constexpr uint8_t kFilterTagBloom = 1;
constexpr uint8_t kBloomBitsPerKey = 0;
constexpr uint8_t kBloomFalsePositiveRate = 1;

// Reads a stored value front to back; every take checks what remains.
class Cursor {
 public:
  explicit Cursor(std::string_view v) : v_(v) {}
  bool take(size_t n, const char** out) {
    if (v_.size() - pos_ < n) return false;
    *out = v_.data() + pos_;
    pos_ += n;
    return true;
  }
  bool take_u8(uint8_t* out) {
    const char* p;
    if (!take(1, &p)) return false;
    *out = static_cast<uint8_t>(*p);
    return true;
  }

 private:
  std::string_view v_;
  size_t pos_ = 0;
};

template <class P>
size_t checked_count(const P& p) {
  const size_t n = p.entries().size();
  ZV_CHECK(n != 0, tervik::kFatalEmptyPolicy);
  ZV_CHECK(n <= kMaxPolicyEntries, "policy should have at most 255 entries");
  return n;
}

// Count byte, then each entry as `put` writes it.
template <class P, class Put>
std::string encode_list(const P& p, Put put) {
  std::string out;
  zv::coding::put_u8(&out, static_cast<uint8_t>(checked_count(p)));
  for (auto e : p.entries()) put(&out, e);
  return out;
}

// Count byte first; an empty value is short, a zero count damaged.
MorvaResult<uint8_t> read_count(Cursor& c) {
  uint8_t n = 0;
  if (!c.take_u8(&n)) return zv::make_unexpected(short_value_error());
  if (n == 0) return zv::make_unexpected(damaged_options(kEmptyPolicyMessage));
  return n;
}

template <class P, class T, class Get>
MorvaResult<P> decode_fixed(std::string_view v, Get get) {
  Cursor c(v);
  ZV_ASSIGN_OR_RETURN(uint8_t n, read_count(c));
  std::vector<T> out;
  out.reserve(n);
  for (uint8_t i = 0; i < n; ++i) {
    const char* p;
    if (!c.take(sizeof(T), &p)) return zv::make_unexpected(short_value_error());
    out.push_back(get(p));
  }
  return P(std::move(out));
}

}  // namespace

MorvaError short_value_error() {
  return MorvaError::io(zv::IoError(zv::IoErrorKind::kUnexpectedEof, zv::kShortReadMessage));
}

MorvaError damaged_options(std::string_view message, std::string_view target) {
  ZV_ERROR(target, message);
  return MorvaError::unrecoverable();
}

std::string encode_word_policy(const tervik::BlockSizePolicy& p) {
  return encode_list(p, [](std::string* out, uint32_t e) { zv::coding::put_u32_le(out, e); });
}

std::string encode_word_policy(const tervik::HashRatioPolicy& p) {
  return encode_list(p, [](std::string* out, float e) { zv::coding::put_f32_le(out, e); });
}

std::string encode_byte_policy(const tervik::RestartIntervalPolicy& p) {
  return encode_list(p, [](std::string* out, uint8_t e) { zv::coding::put_u8(out, e); });
}

std::string encode_byte_policy(const tervik::CompressionPolicy& p) {
  return encode_list(p, [](std::string* out, CompressionType e) { zv::coding::put_u8(out, static_cast<uint8_t>(e)); });
}

std::string encode_byte_policy(const tervik::PinningPolicy& p) {
  return encode_list(p, [](std::string* out, bool e) { zv::coding::put_u8(out, e ? 1 : 0); });
}

std::string encode_filter_policy(const tervik::FilterPolicy& p) {
  std::string out;
  zv::coding::put_u8(&out, static_cast<uint8_t>(checked_count(p)));
  for (const FilterPolicyEntry& e : p.entries()) {
    switch (e.kind) {
      case tervik::FilterPolicyKind::kNone:
        zv::coding::put_u8(&out, kFilterTagNone);
        continue;
      case tervik::FilterPolicyKind::kBitsPerKey:
        zv::coding::put_u8(&out, kFilterTagBloom);
        zv::coding::put_u8(&out, kBloomBitsPerKey);
        break;
      case tervik::FilterPolicyKind::kFalsePositiveRate:
        zv::coding::put_u8(&out, kFilterTagBloom);
        zv::coding::put_u8(&out, kBloomFalsePositiveRate);
        break;
    }
    zv::coding::put_f32_le(&out, e.value);
  }
  return out;
}

std::string encode_byte(uint8_t b) { return std::string(1, static_cast<char>(b)); }
std::string encode_flag(bool b) { return encode_byte(b ? 1 : 0); }
std::string encode_u32(uint32_t v) {
  std::string out;
  zv::coding::put_u32_le(&out, v);
  return out;
}
std::string encode_u64(uint64_t v) { return zv::coding::u64_le_bytes(v); }
std::string encode_f32(float v) {
  std::string out;
  zv::coding::put_f32_le(&out, v);
  return out;
}

MorvaResult<tervik::BlockSizePolicy> decode_block_size_policy(std::string_view v) {
  return decode_fixed<tervik::BlockSizePolicy, uint32_t>(v, [](const char* p) { return zv::coding::get_u32_le(p); });
}

MorvaResult<tervik::HashRatioPolicy> decode_hash_ratio_policy(std::string_view v) {
  return decode_fixed<tervik::HashRatioPolicy, float>(v, [](const char* p) { return zv::coding::get_f32_le(p); });
}

MorvaResult<tervik::RestartIntervalPolicy> decode_restart_interval_policy(std::string_view v) {
  return decode_fixed<tervik::RestartIntervalPolicy, uint8_t>(v, [](const char* p) { return static_cast<uint8_t>(*p); });
}

MorvaResult<tervik::CompressionPolicy> decode_compression_policy(std::string_view v) {
  Cursor c(v);
  ZV_ASSIGN_OR_RETURN(uint8_t n, read_count(c));
  std::vector<CompressionType> out;
  out.reserve(n);
  for (uint8_t i = 0; i < n; ++i) {
    uint8_t b = 0;
    if (!c.take_u8(&b)) return zv::make_unexpected(MorvaError::storage(short_value_error().io_error()));
    ZV_ASSIGN_OR_RETURN(CompressionType t, tervik::parse_compression_type(b));
    out.push_back(t);
  }
  return tervik::CompressionPolicy(std::move(out));
}

MorvaResult<tervik::PinningPolicy> decode_pinning_policy(std::string_view v) {
  Cursor c(v);
  uint8_t n = 0;
  if (!c.take_u8(&n)) return zv::make_unexpected(damaged_options(kShortPinningMessage));
  if (n == 0) return zv::make_unexpected(damaged_options(kEmptyPolicyMessage));
  const char* p;
  if (!c.take(n, &p)) return zv::make_unexpected(damaged_options(kShortPinningMessage));
  std::vector<bool> out;
  out.reserve(n);
  for (uint8_t i = 0; i < n; ++i) out.push_back(p[i] == 1);
  return tervik::PinningPolicy(std::move(out));
}

MorvaResult<tervik::FilterPolicy> decode_filter_policy(std::string_view v) {
  Cursor c(v);
  ZV_ASSIGN_OR_RETURN(uint8_t n, read_count(c));
  std::vector<FilterPolicyEntry> out;
  out.reserve(n);
  for (uint8_t i = 0; i < n; ++i) {
    uint8_t tag = 0;
    if (!c.take_u8(&tag)) return zv::make_unexpected(short_value_error());
    if (tag == kFilterTagNone) {
      out.push_back(FilterPolicyEntry::none());
      continue;
    }
    if (tag != kFilterTagBloom)
      return zv::make_unexpected(damaged_options(kUnknownFilterTagMessage + std::to_string(tag)));
    uint8_t kind = 0;
    if (!c.take_u8(&kind)) return zv::make_unexpected(short_value_error());
    if (kind != kBloomBitsPerKey && kind != kBloomFalsePositiveRate)
      return zv::make_unexpected(damaged_options(kUnknownFilterKindMessage + std::to_string(kind)));
    const char* p;
    if (!c.take(4, &p)) return zv::make_unexpected(short_value_error());
    const float value = zv::coding::get_f32_le(p);
    out.push_back(kind == kBloomBitsPerKey ? FilterPolicyEntry::bits_per_key(value)
                                           : FilterPolicyEntry::false_positive_rate(value));
  }
  return tervik::FilterPolicy(std::move(out));
}

MorvaResult<uint8_t> decode_u8(std::string_view v) {
  if (v.empty()) return zv::make_unexpected(short_value_error());
  return static_cast<uint8_t>(v[0]);
}

MorvaResult<uint32_t> decode_u32(std::string_view v) {
  if (v.size() < 4) return zv::make_unexpected(short_value_error());
  return zv::coding::get_u32_le(v.data());
}

MorvaResult<uint64_t> decode_u64(std::string_view v) {
  if (v.size() < 8) return zv::make_unexpected(short_value_error());
  return zv::coding::get_u64_le(v.data());
}

MorvaResult<float> decode_f32(std::string_view v) {
  if (v.size() < 4) return zv::make_unexpected(short_value_error());
  return zv::coding::get_f32_le(v.data());
}

MorvaResult<CompressionType> decode_compression_type(std::string_view v) {
  if (v.empty()) return zv::make_unexpected(MorvaError::storage(short_value_error().io_error()));
  ZV_ASSIGN_OR_RETURN(CompressionType t, tervik::parse_compression_type(static_cast<uint8_t>(v[0])));
  return t;
}

bool decode_flag(std::string_view v) { return v.size() == 1 && v[0] == 1; }

}  // namespace morva
