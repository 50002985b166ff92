// An exclusive, non-blocking lock on a file, held while the object lives:
// a second holder (in this or another process) fails at once with
// kWouldBlock. Used for database lock files.
#pragma once

#include <string>

#include "platform/file.h"

namespace zv {

class FileLock {
 public:
  FileLock() = default;
  FileLock(FileLock&&) noexcept = default;
  FileLock& operator=(FileLock&&) noexcept = default;
  ~FileLock();

  // Opens (creating) the file and takes the lock, or fails at once.
  static IoResult<FileLock> try_lock(const std::string& path);
  const std::string& path() const { return file_.path(); }
  bool held() const { return file_.is_open(); }

 private:
  explicit FileLock(File f) : file_(std::move(f)) {}
  File file_;
};

}  // namespace zv
