// The error of the table-archive container: an I/O failure, or a trailer or
// table of contents that cannot be accepted. Callers in the tree convert it
// into their own error type. Plain value, safe to move between threads.
#pragma once

#include <string>
#include <variant>

#include "platform/checksum.h"
#include "platform/io_error.h"
#include "platform/result.h"

namespace zv::archive {

enum class ArchiveErrorKind {
  kIo,
  kInvalidHeader,
  kInvalidVersion,
  kInvalidChecksumType,
  kChecksumMismatch,
};

class ArchiveError {
 public:
  // From an I/O error, so that ZV_TRY forwards platform failures as `Io`.
  ArchiveError(IoError io)  // NOLINT(google-explicit-constructor)
      : kind_(ArchiveErrorKind::kIo), io_(std::move(io)) {}

  static ArchiveError invalid_header() { return ArchiveError(ArchiveErrorKind::kInvalidHeader); }
  static ArchiveError invalid_version() { return ArchiveError(ArchiveErrorKind::kInvalidVersion); }
  static ArchiveError invalid_checksum_type() {
    return ArchiveError(ArchiveErrorKind::kInvalidChecksumType);
  }
  static ArchiveError checksum_mismatch(Hash128 got, Hash128 expected) {
    ArchiveError e(ArchiveErrorKind::kChecksumMismatch);
    e.got_ = got;
    e.expected_ = expected;
    return e;
  }

  ArchiveErrorKind kind() const { return kind_; }
  // Meaningful for kIo only.
  const IoError& io() const { return io_; }
  // Meaningful for kChecksumMismatch only: computed and stored checksums.
  Hash128 got() const { return got_; }
  Hash128 expected() const { return expected_; }

  // "Io(...)", "InvalidHeader", ..., "ChecksumMismatch { got: .., expected: .. }".
  std::string to_string() const;

 private:
  explicit ArchiveError(ArchiveErrorKind kind) : kind_(kind) {}

  ArchiveErrorKind kind_;
  IoError io_;
  Hash128 got_;
  Hash128 expected_;
};

template <class T>
using ArchiveResult = Result<T, ArchiveError>;

}  // namespace zv::archive
