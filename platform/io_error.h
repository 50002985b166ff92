// The error of every operating-system and input-output call of the platform
// layer: a kind, the OS error number (0 when the error did not come from the
// OS) and a message. An OS failure renders as the system's text followed by
// " (os error N)". Plain value, safe to move between threads.
#pragma once

#include <string>

#include "platform/result.h"

namespace zv {

enum class IoErrorKind {
  kNotFound,
  kPermissionDenied,
  kAlreadyExists,
  kWouldBlock,
  kInvalidInput,
  kInvalidData,
  kUnexpectedEof,
  kWriteZero,
  kInterrupted,
  kUnsupported,
  kOutOfMemory,
  kStorageFull,
  kOther,
};

class IoError {
 public:
  IoError() = default;
  IoError(IoErrorKind kind, std::string message, int os_code = 0)
      : kind_(kind), os_code_(os_code), message_(std::move(message)) {}

  // An error from errno: kind derived from the number, message is
  // strerror(code) followed by " (os error N)".
  static IoError from_errno(int code);
  // The same, with a context prefix ("open /x/y: ...") for diagnostics.
  static IoError from_errno(int code, const std::string& context);

  IoErrorKind kind() const { return kind_; }
  int os_code() const { return os_code_; }
  const std::string& message() const { return message_; }
  std::string to_string() const { return message_; }

 private:
  IoErrorKind kind_ = IoErrorKind::kOther;
  int os_code_ = 0;
  std::string message_;
};

// Short name of a kind ("not found", "unexpected end of file", ...).
const char* io_error_kind_name(IoErrorKind kind);

template <class T>
using IoResult = Result<T, IoError>;
using IoStatus = Result<void, IoError>;

}  // namespace zv
