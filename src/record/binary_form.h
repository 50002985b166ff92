// The compact binary form every persisted record of the core uses: fields in
// declared order, LEB128 varints, zigzag signed integers, 0/1 option bytes,
// varint enum indexes. BinaryWriter appends to a caller's buffer;
// BinaryReader is a bounds-checked cursor that never trusts a length before
// checking it against the remaining input. Both are single-threaded values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/coding.h"
#include "platform/result.h"
#include "src/foundation/binary_format_error.h"
#include "src/foundation/error.h"
#include "src/foundation/node_id.h"
#include "src/record/datetime.h"

namespace zv {

template <class T>
using BinResult = Result<T, BinaryFormatErrorKind>;

inline Unexpected<BinaryFormatErrorKind> bin_error(BinaryFormatErrorKind k) {
  return Unexpected<BinaryFormatErrorKind>{k};
}

// A codec result as a core result: a format error becomes `Serialization`.
template <class T>
ZolvaResult<T> to_zolva(BinResult<T> r) {
  if (!r.ok()) return make_unexpected(ZolvaError::serialization(r.error()));
  return std::move(r).value();
}

// Advance-reservation caps, in elements, for collections whose count comes
// from the input: about 1 MiB of memory per collection.
inline constexpr size_t kCapF32 = 0x40000;
inline constexpr size_t kCapU64 = 0x20000;  // also i64 and f64
inline constexpr size_t kCapBytes = 0x100000;  // also booleans
inline constexpr size_t kCapU128 = 0x10000;
inline constexpr size_t kCapStrings = 43690;
inline constexpr size_t kCapDateTimes = 87381;
inline constexpr size_t kCapEdges = 21845;
inline constexpr size_t kCapByteFields = 21845;
inline constexpr size_t kCapLabelIndex = 0x8000;

class BinaryWriter {
 public:
  // Appends to `*out`, which the caller owns.
  explicit BinaryWriter(std::string* out) : out_(out) {}

  void u8(uint8_t v) { out_->push_back(static_cast<char>(v)); }
  void boolean(bool v) { u8(v ? 1 : 0); }
  void varint(uint64_t v) { coding::put_varint(out_, v); }
  void varint_u128(NodeId v) { coding::put_varint_u128(out_, v); }
  void zigzag(int64_t v) { varint(coding::zigzag_encode(v)); }
  void f32(float v) { coding::put_f32_le(out_, v); }
  void f64(double v) { coding::put_f64_le(out_, v); }
  void str(std::string_view s) {
    varint(s.size());
    out_->append(s);
  }
  void bytes(std::string_view b) { str(b); }
  void option(bool present) { u8(present ? 1 : 0); }
  // A date-time as a text string in its "Z" form.
  void datetime(const DateTime& t);

  std::string* buffer() { return out_; }

 private:
  std::string* out_;
};

// A single 64-bit value as a varint in a new buffer (a stored counter).
inline std::string encode_varint_u64(uint64_t v) {
  std::string out;
  coding::put_varint(&out, v);
  return out;
}

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view in)
      : pos_(reinterpret_cast<const uint8_t*>(in.data())),
        end_(pos_ + in.size()) {}

  size_t remaining() const { return static_cast<size_t>(end_ - pos_); }
  // Bytes consumed so far are gone; what is left, unread.
  std::string_view rest() const {
    return {reinterpret_cast<const char*>(pos_), remaining()};
  }

  BinResult<uint8_t> u8() {
    if (pos_ == end_) return bin_error(BinaryFormatErrorKind::kUnexpectedEnd);
    return *pos_++;
  }
  // The next n bytes, borrowed from the input.
  BinResult<std::string_view> take(uint64_t n) {
    if (n > remaining()) return bin_error(BinaryFormatErrorKind::kUnexpectedEnd);
    std::string_view out(reinterpret_cast<const char*>(pos_), static_cast<size_t>(n));
    pos_ += n;
    return out;
  }
  BinResult<bool> boolean();
  BinResult<bool> option();
  // One-byte values (most counts, lengths and indexes) take the short path.
  BinResult<uint64_t> varint_u64() {
    if (pos_ != end_ && *pos_ < 0x80) return uint64_t{*pos_++};
    return varint_bits(64);
  }
  BinResult<uint32_t> varint_u32() {
    if (pos_ != end_ && *pos_ < 0x80) return uint32_t{*pos_++};
    return varint_u32_slow();
  }
  BinResult<NodeId> varint_u128();
  BinResult<int64_t> zigzag();
  BinResult<float> f32();
  BinResult<double> f64();
  // A length-prefixed string, UTF-8 checked, copied.
  BinResult<std::string> str();
  // A length-prefixed byte string, borrowed from the input.
  BinResult<std::string_view> bytes();
  // A date-time text string, parsed (DecodeCustom when it does not parse).
  BinResult<DateTime> datetime();
  // A sequence or map count.
  BinResult<uint64_t> count() { return varint_u64(); }

  // How many elements to reserve for a collection of `n` elements: nothing
  // when fewer input bytes remain than n, else min(n, cap).
  size_t reserve_hint(uint64_t n, size_t cap) const {
    return n > remaining() ? 0 : static_cast<size_t>(std::min<uint64_t>(n, cap));
  }

 private:
  BinResult<uint64_t> varint_bits(unsigned bits);
  BinResult<uint32_t> varint_u32_slow();
  const uint8_t* pos_;
  const uint8_t* end_;
};

}  // namespace zv
