// The file operations through which version files and "current" are written
// and removed, with the retry rule for sharing conflicts (another process
// briefly holding the file open). The operating-system layer reports no
// conflict on POSIX; tests inject a layer that does. The OS layer is
// stateless and thread-safe; injected layers say so themselves.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/io_error.h"

namespace tervik {

// Tries before a conflict is final, and the first pause (doubling each time).
inline constexpr int kSharingRetryAttempts = 10;
inline constexpr uint64_t kSharingRetryFirstSleepMs = 1;

class VersionFs {
 public:
  virtual ~VersionFs() = default;

  // Creates or truncates a file, opened for reading and writing.
  virtual zv::IoResult<zv::File> create(const std::string& path);
  // Writes all bytes at the file's cursor.
  virtual zv::IoStatus write_all(zv::File& file, std::string_view bytes);
  // Flushes the file's data and metadata to disk.
  virtual zv::IoStatus sync_file(zv::File& file);
  // Renames `from` over `to`, replacing it.
  virtual zv::IoStatus rename(const std::string& from, const std::string& to);
  virtual zv::IoStatus remove(const std::string& path);
  virtual zv::IoResult<bool> exists(const std::string& path);
  // Makes the folder's entries (created, renamed, removed files) durable.
  virtual zv::IoStatus sync_dir(const std::string& path);
  // Replaces the file's whole content atomically and durably.
  virtual zv::IoStatus rewrite_atomic(const std::string& path, std::string_view content);
  virtual void sleep_ms(uint64_t ms);
  // True for an error that a retry may clear: the file is held by someone
  // else for a moment. Never true of an errno-based error on POSIX.
  virtual bool is_sharing_conflict(const zv::IoError& e) const;

  // The operating system's layer, shared by every tree.
  static VersionFs& os();
};

// Runs op() until it succeeds, fails with an error that is not a sharing
// conflict, or has been tried kSharingRetryAttempts times; sleeps 1, 2, 4, ...
// ms between tries. Returns op()'s last result.
template <class Op>
auto with_sharing_retry(VersionFs& fs, Op&& op) -> decltype(op()) {
  uint64_t sleep = kSharingRetryFirstSleepMs;
  for (int attempt = 1;; ++attempt) {
    auto r = op();
    if (r.ok() || attempt == kSharingRetryAttempts || !fs.is_sharing_conflict(r.error())) return r;
    fs.sleep_ms(sleep);
    sleep *= 2;
  }
}

}  // namespace tervik
