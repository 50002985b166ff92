#include "src/record/binary_form.h"

#include <cstring>

#include "platform/utf8.h"

namespace zv {

void BinaryWriter::datetime(const DateTime& t) {
  // The text is at most 34 bytes, so its length varint is one byte: write a
  // placeholder, render in place, then patch the length.
  const size_t len_at = out_->size();
  out_->push_back('\0');
  const size_t n = append_datetime_z(t, out_);
  (*out_)[len_at] = static_cast<char>(n);
}

BinResult<uint64_t> BinaryReader::varint_bits(unsigned bits) {
  uint64_t v = 0;
  switch (coding::get_varint(&pos_, end_, &v, bits)) {
    case coding::VarintStatus::kOk: return v;
    case coding::VarintStatus::kTruncated: return bin_error(BinaryFormatErrorKind::kUnexpectedEnd);
    case coding::VarintStatus::kOverflow: break;
  }
  return bin_error(BinaryFormatErrorKind::kBadVarint);
}

BinResult<uint32_t> BinaryReader::varint_u32_slow() {
  ZV_ASSIGN_OR_RETURN(uint64_t v, varint_bits(32));
  return static_cast<uint32_t>(v);
}

BinResult<NodeId> BinaryReader::varint_u128() {
  NodeId v = 0;
  switch (coding::get_varint_u128(&pos_, end_, &v)) {
    case coding::VarintStatus::kOk: return v;
    case coding::VarintStatus::kTruncated: return bin_error(BinaryFormatErrorKind::kUnexpectedEnd);
    case coding::VarintStatus::kOverflow: break;
  }
  return bin_error(BinaryFormatErrorKind::kBadVarint);
}

BinResult<bool> BinaryReader::boolean() {
  ZV_ASSIGN_OR_RETURN(uint8_t b, u8());
  if (b > 1) return bin_error(BinaryFormatErrorKind::kBadBool);
  return b == 1;
}

BinResult<bool> BinaryReader::option() {
  ZV_ASSIGN_OR_RETURN(uint8_t b, u8());
  if (b > 1) return bin_error(BinaryFormatErrorKind::kBadOption);
  return b == 1;
}

BinResult<int64_t> BinaryReader::zigzag() {
  ZV_ASSIGN_OR_RETURN(uint64_t u, varint_u64());
  return coding::zigzag_decode(u);
}

BinResult<float> BinaryReader::f32() {
  if (remaining() < 4) return bin_error(BinaryFormatErrorKind::kUnexpectedEnd);
  const float v = coding::get_f32_le(pos_);
  pos_ += 4;
  return v;
}

BinResult<double> BinaryReader::f64() {
  if (remaining() < 8) return bin_error(BinaryFormatErrorKind::kUnexpectedEnd);
  const double v = coding::get_f64_le(pos_);
  pos_ += 8;
  return v;
}

BinResult<std::string_view> BinaryReader::bytes() {
  ZV_ASSIGN_OR_RETURN(uint64_t n, varint_u64());
  return take(n);
}

BinResult<std::string> BinaryReader::str() {
  ZV_ASSIGN_OR_RETURN(std::string_view b, bytes());
  if (!is_valid_utf8(b)) return bin_error(BinaryFormatErrorKind::kBadUtf8);
  return std::string(b);
}

BinResult<DateTime> BinaryReader::datetime() {
  ZV_ASSIGN_OR_RETURN(std::string_view b, bytes());
  if (!is_valid_utf8(b)) return bin_error(BinaryFormatErrorKind::kBadUtf8);
  std::optional<DateTime> t = parse_datetime(b);
  if (!t) return bin_error(BinaryFormatErrorKind::kDecodeCustom);
  return *t;
}

}  // namespace zv
