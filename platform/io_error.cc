#include "platform/io_error.h"

#include <cerrno>
#include <cstring>

namespace zv {

namespace {

IoErrorKind kind_from_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::kNotFound;
    case EACCES:
    case EPERM: return IoErrorKind::kPermissionDenied;
    case EEXIST: return IoErrorKind::kAlreadyExists;
    case EAGAIN: return IoErrorKind::kWouldBlock;
    case EINVAL: return IoErrorKind::kInvalidInput;
    case EINTR: return IoErrorKind::kInterrupted;
    case ENOSYS:
    case EOPNOTSUPP: return IoErrorKind::kUnsupported;
    case ENOMEM: return IoErrorKind::kOutOfMemory;
    case ENOSPC:
    case EDQUOT: return IoErrorKind::kStorageFull;
    default: return IoErrorKind::kOther;
  }
}

std::string os_text(int code) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* s = strerror_r(code, buf, sizeof(buf));
  return std::string(s) + " (os error " + std::to_string(code) + ")";
}

}  // namespace

IoError IoError::from_errno(int code) {
  return IoError(kind_from_errno(code), os_text(code), code);
}

IoError IoError::from_errno(int code, const std::string& context) {
  if (context.empty()) return from_errno(code);
  return IoError(kind_from_errno(code), context + ": " + os_text(code), code);
}

const char* io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::kNotFound: return "entity not found";
    case IoErrorKind::kPermissionDenied: return "permission denied";
    case IoErrorKind::kAlreadyExists: return "entity already exists";
    case IoErrorKind::kWouldBlock: return "operation would block";
    case IoErrorKind::kInvalidInput: return "invalid input parameter";
    case IoErrorKind::kInvalidData: return "invalid data";
    case IoErrorKind::kUnexpectedEof: return "unexpected end of file";
    case IoErrorKind::kWriteZero: return "write zero";
    case IoErrorKind::kInterrupted: return "operation interrupted";
    case IoErrorKind::kUnsupported: return "unsupported";
    case IoErrorKind::kOutOfMemory: return "out of memory";
    case IoErrorKind::kStorageFull: return "no storage space";
    case IoErrorKind::kOther: return "other error";
  }
  return "other error";
}

}  // namespace zv
