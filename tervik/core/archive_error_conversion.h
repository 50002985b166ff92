// Turns a table-archive container error into the tree's TervikError, logging
// header, version, checksum-type and checksum failures at error level (the
// only trace of which container check failed). Used by the table reader and
// the table, blob and version file writers and readers. Thread-safe.
#pragma once

#include "archive/src/archive_error.h"
#include "tervik/core/error.h"

namespace tervik {

inline constexpr const char* kErrorLogTarget = "tervik::error";
inline constexpr const char* kLogInvalidArchiveHeader = "Invalid archive header";
inline constexpr const char* kLogInvalidArchiveVersion = "Invalid archive version";
inline constexpr const char* kLogInvalidArchiveChecksumType = "Invalid archive checksum type";
inline constexpr const char* kLogArchiveChecksumMismatch = "Archive ToC checksum mismatch";

// Io -> Io (same error); InvalidHeader, InvalidVersion, InvalidChecksumType ->
// Unrecoverable; ChecksumMismatch -> ChecksumMismatch (same got, expected).
TervikError from_archive_error(zv::archive::ArchiveError e);

// A container result with its error converted.
template <class T>
TervikResult<T> from_archive_result(zv::archive::ArchiveResult<T> r) {
  if (!r.ok()) return zv::make_unexpected(from_archive_error(std::move(r).error()));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(r).value();
  }
}

}  // namespace tervik
