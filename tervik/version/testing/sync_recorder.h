// Records, in order, the fsync/fdatasync calls (by the path of the synced
// descriptor) and renames (by target) made by this process while recording
// is on, so that tests can check that data reached the disk before a pointer
// to it was replaced. Given a folder, it also records every change made
// under it with its bytes (file creations, writes, truncations, syncs,
// folder creations and removals, renames, folder syncs), from which
// PowerLossImage builds what a power loss could leave. Replaces the C
// library's functions in the test binary and forwards to them. Unavailable
// (available() false) under sanitizers that intercept the same functions.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tervik::testing {

// One change under the recorded folder. Files are named by an id given at
// their creation (paths move with renames; ids do not).
struct FsEvent {
  enum class Kind {
    kCreate,    // path, file: a new empty file
    kWrite,     // file, offset, bytes
    kTruncate,  // file, length
    kSync,      // file: its content is on disk
    kMkdir,     // path
    kUnlink,    // path
    kRmdir,     // path
    kRename,    // path (from), target
    kSyncDir,   // path: the folder's entries are on disk
    kMark,      // offset: a number the test marks this point with
  };
  Kind kind = Kind::kWrite;
  std::string path;
  std::string target;
  uint64_t file = 0;
  uint64_t offset = 0;
  std::string bytes;
};

class SyncRecorder {
 public:
  SyncRecorder();   // starts recording (one recorder at a time)
  // Also records every change under `folder` (an absolute path).
  explicit SyncRecorder(std::string folder);
  ~SyncRecorder();  // stops
  SyncRecorder(const SyncRecorder&) = delete;
  SyncRecorder& operator=(const SyncRecorder&) = delete;

  static bool available();
  // "sync <path>" and "rename <target>" entries.
  std::vector<std::string> events() const;

  // The changes under the folder so far, in order.
  std::vector<FsEvent> fs_events() const;
  // How many changes have been recorded.
  size_t fs_event_count() const;
  // Records a kMark event carrying `n`.
  void mark(uint64_t n);
};

}  // namespace tervik::testing
