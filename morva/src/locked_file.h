// LockedFile: the open "lock" file of a database folder while it holds an
// exclusive, fail-at-once lock over the whole file. The lock is tied to the
// open file description, so it keeps out other processes and a second open
// of the same folder in this process alike. Shared by the database state and
// every keyspace; the lock is released when the last holder goes.
#pragma once

#include <memory>
#include <string>

#include "morva/src/error.h"
#include "platform/file_lock.h"

namespace morva {

inline constexpr const char* kLockFileName = "lock";
inline constexpr const char* kLockFailedMessage =
    "Failed to acquire database lock - if this is expected, you can try opening again (maybe wait a "
    "little)";
// Tries of LockedFile::open, and the pause between two of them.
inline constexpr int kLockOpenTries = 3;
inline constexpr int kLockRetryPauseMs = 100;

class LockedFile {
 public:
  // Creation: opens the lock file (creating it when missing) and tries the
  // lock once. Locked when another handle holds it, Io on any other failure.
  static MorvaResult<std::shared_ptr<LockedFile>> create_new(const std::string& path);
  // Recovery: the lock file must exist (Io otherwise); up to three tries
  // 100 ms apart before Locked.
  static MorvaResult<std::shared_ptr<LockedFile>> open(const std::string& path);

  explicit LockedFile(zv::FileLock lock) : lock_(std::move(lock)) {}
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  const std::string& path() const { return lock_.path(); }

 private:
  zv::FileLock lock_;
};

}  // namespace morva
