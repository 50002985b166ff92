#include "morva/src/locked_file.h"

#include <chrono>
#include <thread>

#include "platform/fs.h"
#include "platform/log.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::locked_file";

// One fail-at-once attempt: the lock, Locked on a conflict, Io otherwise.
MorvaResult<std::shared_ptr<LockedFile>> try_once(const std::string& path) {
  auto lock = zv::FileLock::try_lock(path);
  if (lock.ok()) return std::make_shared<LockedFile>(std::move(lock).value());
  if (lock.error().kind() == zv::IoErrorKind::kWouldBlock) {
    return zv::make_unexpected(MorvaError::locked());
  }
  ZV_ERROR(kLogTarget, kLockFailedMessage);
  return zv::make_unexpected(MorvaError::io(std::move(lock).error()));
}

}  // namespace

MorvaResult<std::shared_ptr<LockedFile>> LockedFile::create_new(const std::string& path) {
  ZV_LOG(zv::log::Level::kDebug, kLogTarget, "Acquiring database lock at " + path);
  return try_once(path);
}

MorvaResult<std::shared_ptr<LockedFile>> LockedFile::open(const std::string& path) {
  ZV_LOG(zv::log::Level::kDebug, kLogTarget, "Acquiring database lock at " + path);
  // The lock file of an existing database is never created again here.
  if (!zv::fs::is_file(path)) {
    return zv::make_unexpected(
        MorvaError::io(zv::IoError(zv::IoErrorKind::kNotFound, "lock file missing: " + path)));
  }
  for (int attempt = 1;; ++attempt) {
    auto r = try_once(path);
    if (r.ok() || r.error().kind() != MorvaErrorKind::kLocked || attempt == kLockOpenTries) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(kLockRetryPauseMs));
  }
}

LockedFile::~LockedFile() {
  // Closing the file releases the lock (whole-file, tied to this open file
  // description); a second release of a released lock is no error.
  ZV_LOG(zv::log::Level::kDebug, kLogTarget, "Unlocking database lock");
}

}  // namespace morva
