// The one-byte error of the compact binary form. Record, node and log codecs
// return it boxed inside the core error's `Serialization` variant. Plain value.
#pragma once

#include <cstdint>
#include <string>

#include "src/foundation/boxed_error.h"

namespace zv {

enum class BinaryFormatErrorKind : uint8_t {
  kUnsupported = 0,
  kNotImplemented = 1,
  kBufferFull = 2,
  kLengthUnknown = 3,
  kUnexpectedEnd = 4,
  kBadVarint = 5,
  kBadBool = 6,
  kBadChar = 7,
  kBadUtf8 = 8,
  kBadOption = 9,
  kBadEnum = 10,
  kBadEncoding = 11,
  kBadCrc = 12,
  kEncodeCustom = 13,
  kDecodeCustom = 14,
  kTextRenderFailed = 15,
};

inline constexpr uint8_t kBinaryFormatErrorKindCount = 16;

class BinaryFormatError : public ErrorBase {
 public:
  explicit BinaryFormatError(BinaryFormatErrorKind kind) : kind_(kind) {}
  // A code outside 0..15 is kept as given and rendered as an unknown kind.
  explicit BinaryFormatError(uint8_t code) : kind_(static_cast<BinaryFormatErrorKind>(code)) {}

  BinaryFormatErrorKind kind() const { return kind_; }
  uint8_t code() const { return static_cast<uint8_t>(kind_); }

  std::string message() const override;
  std::string debug_string() const override;

 private:
  BinaryFormatErrorKind kind_;
};

// The display text of a kind ("Hit the end of buffer, expected more data").
const char* binary_format_error_text(BinaryFormatErrorKind kind);
// The variant name of a kind ("UnexpectedEnd").
const char* binary_format_error_name(BinaryFormatErrorKind kind);

}  // namespace zv
