#include "morva/src/error.h"

#include "platform/debug_quote.h"

namespace morva {

std::string_view journal_recovery_kind_name(JournalRecoveryKind k) {
  switch (k) {
    case JournalRecoveryKind::kInsufficientLength: return "InsufficientLength";
    case JournalRecoveryKind::kTooManyItems: return "TooManyItems";
    case JournalRecoveryKind::kChecksumMismatch: return "ChecksumMismatch";
    case JournalRecoveryKind::kInvalidFileName: return "InvalidFileName";
  }
  return "InvalidFileName";
}

std::string_view morva_error_kind_name(MorvaErrorKind k) {
  switch (k) {
    case MorvaErrorKind::kStorage: return "Storage";
    case MorvaErrorKind::kIo: return "Io";
    case MorvaErrorKind::kJournalRecovery: return "JournalRecovery";
    case MorvaErrorKind::kInvalidVersion: return "InvalidVersion";
    case MorvaErrorKind::kDecompress: return "Decompress";
    case MorvaErrorKind::kInvalidTrailer: return "InvalidTrailer";
    case MorvaErrorKind::kInvalidTag: return "InvalidTag";
    case MorvaErrorKind::kPoisoned: return "Poisoned";
    case MorvaErrorKind::kLocked: return "Locked";
    case MorvaErrorKind::kUnrecoverable: return "Unrecoverable";
  }
  return "Unrecoverable";
}

MorvaError::MorvaError(tervik::TervikError e) : kind_(MorvaErrorKind::kStorage), storage_(std::move(e)) {}

MorvaError::MorvaError(zv::IoError e) : kind_(MorvaErrorKind::kIo), io_(std::move(e)) {}

MorvaError MorvaError::journal_recovery(JournalRecoveryKind k) {
  MorvaError e(MorvaErrorKind::kJournalRecovery);
  e.recovery_ = k;
  return e;
}

MorvaError MorvaError::invalid_version(std::optional<FormatVersion> v) {
  MorvaError e(MorvaErrorKind::kInvalidVersion);
  e.version_ = v;
  return e;
}

MorvaError MorvaError::decompress(tervik::CompressionType t) {
  MorvaError e(MorvaErrorKind::kDecompress);
  e.compression_ = t;
  return e;
}

MorvaError MorvaError::invalid_trailer() { return MorvaError(MorvaErrorKind::kInvalidTrailer); }

MorvaError MorvaError::invalid_tag(std::string_view enum_name, uint8_t byte) {
  MorvaError e(MorvaErrorKind::kInvalidTag);
  e.tag_name_ = std::string(enum_name);
  e.tag_byte_ = byte;
  return e;
}

MorvaError MorvaError::poisoned() { return MorvaError(MorvaErrorKind::kPoisoned); }
MorvaError MorvaError::locked() { return MorvaError(MorvaErrorKind::kLocked); }
MorvaError MorvaError::unrecoverable() { return MorvaError(MorvaErrorKind::kUnrecoverable); }

std::string MorvaError::debug_string() const {
  std::string name(morva_error_kind_name(kind_));
  switch (kind_) {
    case MorvaErrorKind::kStorage: return name + "(" + storage_->debug_string() + ")";
    case MorvaErrorKind::kIo: return name + "(" + tervik::io_error_debug_string(io_) + ")";
    case MorvaErrorKind::kJournalRecovery:
      return name + "(" + std::string(journal_recovery_kind_name(recovery_)) + ")";
    case MorvaErrorKind::kInvalidVersion:
      if (!version_) return name + "(None)";
      return name + "(Some(" + std::string(format_version_name(*version_)) + "))";
    case MorvaErrorKind::kDecompress:
      return name + "(" + std::string(tervik::compression_type_name(compression_)) + ")";
    case MorvaErrorKind::kInvalidTag:
      return name + "((" + zv::debug_quote(tag_name_) + ", " + std::to_string(tag_byte_) + "))";
    case MorvaErrorKind::kInvalidTrailer:
    case MorvaErrorKind::kPoisoned:
    case MorvaErrorKind::kLocked:
    case MorvaErrorKind::kUnrecoverable:
      return name;
  }
  return name;
}

std::string MorvaError::to_string() const {
  return std::string(kMorvaErrorDisplayPrefix) + debug_string();
}

}  // namespace morva
