// TervikError: the one error of every fallible operation of the tree, with its
// structural and display forms ("TervikError: " + structural form). The
// key-value engine wraps it whole. Plain value, safe to move between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/debug_quote.h"
#include "platform/file.h"
#include "platform/io_error.h"
#include "platform/result.h"
#include "tervik/core/checksum.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/utf8.h"

namespace tervik {

// The order fixes the variant numbers 0 to 8.
enum class TervikErrorKind : uint8_t {
  kIo = 0,
  kDecompress = 1,
  kInvalidVersion = 2,
  kUnrecoverable = 3,
  kChecksumMismatch = 4,
  kInvalidTag = 5,
  kInvalidTrailer = 6,
  kInvalidHeader = 7,
  kUtf8 = 8,
};

inline constexpr std::string_view kTervikErrorDisplayPrefix = "TervikError: ";

// The error of every short read in the tree's formats: UnexpectedEof,
// "failed to fill whole buffer", as an exact file read that runs out reports.
inline zv::IoError short_read_error() {
  return zv::IoError(zv::IoErrorKind::kUnexpectedEof, zv::kShortReadMessage);
}

class TervikError {
 public:
  // An I/O error becomes Io unchanged (also what ZV_TRY does with one).
  TervikError(zv::IoError e)  // NOLINT(google-explicit-constructor)
      : kind_(TervikErrorKind::kIo), io_(std::move(e)) {}

  static TervikError io(zv::IoError e) { return TervikError(std::move(e)); }
  // Io with short_read_error(): the input ended before the bytes it promised.
  static TervikError short_read() { return TervikError(short_read_error()); }
  static TervikError decompress(CompressionType t);
  static TervikError invalid_version(uint8_t version);
  static TervikError unrecoverable();
  // Logs `message` at error level under the log target, then Unrecoverable:
  // how a damaged structure that cannot be read on is refused.
  static TervikError logged_unrecoverable(const char* target, std::string_view message);
  static TervikError checksum_mismatch(Checksum got, Checksum expected);
  // `enum_name` is one of "ValueType", "CompressionType", "BlockType",
  // "ChecksumType", "TreeType", "FilterType".
  static TervikError invalid_tag(std::string_view enum_name, uint8_t byte);
  static TervikError invalid_trailer();
  static TervikError invalid_header(std::string_view structure);
  static TervikError utf8(Utf8Error e);

  TervikErrorKind kind() const { return kind_; }
  const zv::IoError& io_error() const { return io_; }
  CompressionType compression() const { return compression_; }
  uint8_t version() const { return byte_; }
  uint8_t tag_byte() const { return byte_; }
  const std::string& tag_name() const { return text_; }
  const std::string& header_name() const { return text_; }
  Checksum got() const { return got_; }
  Checksum expected() const { return expected_; }
  const Utf8Error& utf8_error() const { return utf8_; }

  // Structural form: "ChecksumMismatch { got: Checksum(1), expected: Checksum(2) }".
  std::string debug_string() const;
  // The same laid out one payload per line.
  std::string debug_string_pretty() const;
  // Display form: "TervikError: " followed by the structural form.
  std::string to_string() const;

 private:
  explicit TervikError(TervikErrorKind k) : kind_(k) {}

  TervikErrorKind kind_;
  zv::IoError io_;
  CompressionType compression_ = CompressionType::kNone;
  uint8_t byte_ = 0;           // version or tag byte
  std::string text_;           // tag enumeration name or header name
  Checksum got_, expected_;
  Utf8Error utf8_;
};

template <class T>
using TervikResult = zv::Result<T, TervikError>;
using TervikStatus = zv::Result<void, TervikError>;

// Variant name of a kind: "Io", "Decompress", ...
std::string_view tervik_error_kind_name(TervikErrorKind k);

// Structural forms of the platform's I/O error: an OS error as
// Os { code: 2, kind: NotFound, message: "..." }, any other as
// Custom { kind: UnexpectedEof, error: "..." }.
std::string io_error_debug_string(const zv::IoError& e);
std::string io_error_debug_string_pretty(const zv::IoError& e);
// CamelCase name of an I/O error kind ("UnexpectedEof").
std::string_view io_error_kind_debug_name(zv::IoErrorKind k);

// Quotes a text as the structural forms show it (shared with the core).
using zv::debug_quote;

}  // namespace tervik
