// A WalFileSystem for tests that fails chosen operations: the n-th write,
// sync, read or set_len counted from the moment it is armed, optionally for
// several consecutive calls. Everything else goes to the operating system.
// Thread-safe: the counters are atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "src/wal/wal_file.h"

namespace zv::wal::testing {

enum class FaultOp { kWrite = 0, kSync = 1, kRead = 2, kSetLen = 3 };

class FaultyWalFileSystem final : public WalFileSystem {
 public:
  // Fails the n-th (1-based) call of `op` from now, and the `times - 1`
  // calls after it.
  void fail_nth(FaultOp op, uint64_t n, uint64_t times = 1);
  void clear();
  // Calls of `op` made through this file system so far.
  uint64_t calls(FaultOp op) const { return ops_[idx(op)].calls.load(); }
  uint64_t failures() const { return failures_.load(); }

  IoResult<std::unique_ptr<WalFile>> open(const std::string& path, WalOpenMode mode) override;

  // Called by the files it opened: an error when this call must fail.
  IoStatus check(FaultOp op);

 private:
  static size_t idx(FaultOp op) { return static_cast<size_t>(op); }
  struct Counter {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> fail_from{0};  // 0: off
    std::atomic<uint64_t> fail_until{0};
  };
  Counter ops_[4];
  std::atomic<uint64_t> failures_{0};
};

}  // namespace zv::wal::testing
