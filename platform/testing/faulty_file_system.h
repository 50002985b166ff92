// A FileSystem for tests that fails chosen operations: the n-th write, sync,
// full sync, read, set_len, open, rename, remove or directory sync counted from the
// moment it is armed, optionally for several consecutive calls. A failing
// write first puts half of its bytes in the file, as a real failure may.
// Everything else goes to the operating system. Thread-safe: the counters
// are atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace zv::testing {

enum class FaultOp {
  kWrite = 0,
  kSync = 1,
  kRead = 2,
  kSetLen = 3,
  kOpen = 4,
  kRename = 5,
  kRemove = 6,
  kSyncDir = 7,
  kSyncAll = 8,
};
inline constexpr size_t kFaultOpCount = 9;

class FaultyFileSystem final : public FileSystem {
 public:
  explicit FaultyFileSystem(FileSystem& inner = FileSystem::os()) : inner_(inner) {}

  // Fails the n-th (1-based) call of `op` from now, and the `times - 1`
  // calls after it, with an error of `kind` (kOther: the error EIO gives).
  void fail_nth(FaultOp op, uint64_t n, uint64_t times = 1, IoErrorKind kind = IoErrorKind::kOther);
  void clear();
  // Calls of `op` made through this file system so far.
  uint64_t calls(FaultOp op) const { return ops_[idx(op)].calls.load(); }
  uint64_t failures() const { return failures_.load(); }

  IoResult<std::unique_ptr<FsFile>> open(const std::string& path, FsOpenMode mode) override;
  bool exists(const std::string& path) override { return inner_.exists(path); }
  IoStatus rename(const std::string& from, const std::string& to) override;
  IoStatus remove_file(const std::string& path) override;
  IoStatus sync_dir(const std::string& path) override;
  IoResult<std::vector<std::string>> list_dir(const std::string& path) override {
    return inner_.list_dir(path);
  }

  // Called by the files it opened: an error when this call must fail.
  IoStatus check(FaultOp op);

 private:
  static size_t idx(FaultOp op) { return static_cast<size_t>(op); }
  struct Counter {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> fail_from{0};  // 0: off
    std::atomic<uint64_t> fail_until{0};
    std::atomic<IoErrorKind> kind{IoErrorKind::kOther};
  };
  FileSystem& inner_;
  Counter ops_[kFaultOpCount];
  std::atomic<uint64_t> failures_{0};
};

}  // namespace zv::testing
