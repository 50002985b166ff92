#include "archive/src/archive_error.h"

namespace zv::archive {

namespace {

std::string u128_decimal(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string out;
  while (v != 0) {
    out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return out;
}

}  // namespace

std::string ArchiveError::to_string() const {
  switch (kind_) {
    case ArchiveErrorKind::kIo:
      return "Io(" + io_.to_string() + ")";
    case ArchiveErrorKind::kInvalidHeader:
      return "InvalidHeader";
    case ArchiveErrorKind::kInvalidVersion:
      return "InvalidVersion";
    case ArchiveErrorKind::kInvalidChecksumType:
      return "InvalidChecksumType";
    case ArchiveErrorKind::kChecksumMismatch:
      return "ChecksumMismatch { got: Checksum(" + u128_decimal(got_.as_u128()) +
             "), expected: Checksum(" + u128_decimal(expected_.as_u128()) + ") }";
  }
  return "Unknown";
}

}  // namespace zv::archive
