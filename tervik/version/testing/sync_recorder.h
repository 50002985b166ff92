// Records, in order, the fsync/fdatasync calls (by the path of the synced
// descriptor) and renames (by target) made by this process while recording
// is on, so that tests can check that data reached the disk before a pointer
// to it was replaced. Replaces the C library's functions in the test binary
// and forwards to them. Unavailable (available() false) under sanitizers
// that intercept the same functions. Thread-safe.
#pragma once

#include <string>
#include <vector>

namespace tervik::testing {

class SyncRecorder {
 public:
  SyncRecorder();   // starts recording (one recorder at a time)
  ~SyncRecorder();  // stops
  SyncRecorder(const SyncRecorder&) = delete;
  SyncRecorder& operator=(const SyncRecorder&) = delete;

  static bool available();
  // "sync <path>" and "rename <target>" entries.
  std::vector<std::string> events() const;
};

}  // namespace tervik::testing
