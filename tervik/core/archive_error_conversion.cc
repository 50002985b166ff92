#include "tervik/core/archive_error_conversion.h"

#include "platform/log.h"

namespace tervik {

TervikError from_archive_error(zv::archive::ArchiveError e) {
  using Kind = zv::archive::ArchiveErrorKind;
  switch (e.kind()) {
    case Kind::kIo:
      return TervikError::io(e.io());
    case Kind::kInvalidHeader:
      ZV_ERROR(kErrorLogTarget, kLogInvalidArchiveHeader);
      return TervikError::unrecoverable();
    case Kind::kInvalidVersion:
      ZV_ERROR(kErrorLogTarget, kLogInvalidArchiveVersion);
      return TervikError::unrecoverable();
    case Kind::kInvalidChecksumType:
      ZV_ERROR(kErrorLogTarget, kLogInvalidArchiveChecksumType);
      return TervikError::unrecoverable();
    case Kind::kChecksumMismatch:
      ZV_ERROR(kErrorLogTarget, kLogArchiveChecksumMismatch);
      return TervikError::checksum_mismatch(Checksum(e.got()), Checksum(e.expected()));
  }
  return TervikError::unrecoverable();
}

}  // namespace tervik
