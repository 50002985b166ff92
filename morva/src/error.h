// MorvaError: the one error of every fallible operation of the key-value
// engine, with its debug form (variant name and payload) and its display form
// ("MorvaError: " + debug form), which is the text the core's I/O error
// carries. Tree errors travel whole inside Storage. Plain value, safe to move
// between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "morva/src/format_version.h"
#include "platform/io_error.h"
#include "platform/result.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"

namespace morva {

// The order fixes the variant numbers.
enum class MorvaErrorKind : uint8_t {
  kStorage = 0,
  kIo = 1,
  kJournalRecovery = 2,
  kInvalidVersion = 3,
  kDecompress = 4,
  kInvalidTrailer = 5,
  kInvalidTag = 6,
  kPoisoned = 7,
  kLocked = 8,
  kUnrecoverable = 9,
};

// Why a journal could not be read back.
enum class JournalRecoveryKind : uint8_t {
  kInsufficientLength = 0,  // a batch ends before all its announced items
  kTooManyItems = 1,        // a batch holds more items than announced
  kChecksumMismatch = 2,    // a batch's checksum does not match
  kInvalidFileName = 3,     // a journal file name is not a number + ".jnl"
};

std::string_view journal_recovery_kind_name(JournalRecoveryKind k);
std::string_view morva_error_kind_name(MorvaErrorKind k);

inline constexpr std::string_view kMorvaErrorDisplayPrefix = "MorvaError: ";

class MorvaError {
 public:
  // Conversions: a tree error becomes Storage, an I/O error Io.
  MorvaError(tervik::TervikError e);  // NOLINT(google-explicit-constructor)
  MorvaError(zv::IoError e);          // NOLINT(google-explicit-constructor)

  static MorvaError storage(tervik::TervikError e) { return MorvaError(std::move(e)); }
  static MorvaError io(zv::IoError e) { return MorvaError(std::move(e)); }
  static MorvaError journal_recovery(JournalRecoveryKind k);
  static MorvaError invalid_version(std::optional<FormatVersion> v);
  static MorvaError decompress(tervik::CompressionType t);
  static MorvaError invalid_trailer();
  static MorvaError invalid_tag(std::string_view enum_name, uint8_t byte);
  static MorvaError poisoned();
  static MorvaError locked();
  static MorvaError unrecoverable();

  MorvaErrorKind kind() const { return kind_; }
  // Payloads; each is meaningful for its own variant only.
  const tervik::TervikError& storage_error() const { return *storage_; }
  const zv::IoError& io_error() const { return io_; }
  JournalRecoveryKind recovery_kind() const { return recovery_; }
  std::optional<FormatVersion> version() const { return version_; }
  tervik::CompressionType compression() const { return compression_; }
  const std::string& tag_name() const { return tag_name_; }
  uint8_t tag_byte() const { return tag_byte_; }

  // True for Io of the given kind.
  bool is_io(zv::IoErrorKind k) const { return kind_ == MorvaErrorKind::kIo && io_.kind() == k; }

  // "JournalRecovery(InvalidFileName)", "InvalidTag((\"JournalMarkerTag\", 7))".
  std::string debug_string() const;
  // "MorvaError: " followed by the debug form.
  std::string to_string() const;

 private:
  explicit MorvaError(MorvaErrorKind k) : kind_(k) {}

  MorvaErrorKind kind_;
  std::optional<tervik::TervikError> storage_;
  zv::IoError io_;
  JournalRecoveryKind recovery_ = JournalRecoveryKind::kInsufficientLength;
  std::optional<FormatVersion> version_;
  tervik::CompressionType compression_ = tervik::CompressionType::kNone;
  std::string tag_name_;
  uint8_t tag_byte_ = 0;
};

template <class T>
using MorvaResult = zv::Result<T, MorvaError>;
using MorvaStatus = zv::Result<void, MorvaError>;

}  // namespace morva
