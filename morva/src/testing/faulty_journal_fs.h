// A JournalFs for tests that counts every call per operation and fails chosen
// ones: the n-th call of an operation counted from the moment it is armed,
// for `times` consecutive calls, with an error of a chosen kind. Everything
// else goes to the operating system. Thread-safe: counters are atomic.
#pragma once

#include <atomic>
#include <cstdint>

#include "morva/src/journal/journal_fs.h"

namespace morva::testing {

enum class JournalFsOp {
  kWrite = 0,
  kSyncAll,
  kSyncData,
  kSetLen,
  kRead,
  kCreate,
  kOpen,
  kRemove,
  kSyncDir,
  kCount,
};

class FaultyJournalFs final : public JournalFs {
 public:
  // Fails the n-th (1-based) call of `op` from now and the `times - 1` after.
  void fail_nth(JournalFsOp op, uint64_t n, uint64_t times = 1,
                zv::IoErrorKind kind = zv::IoErrorKind::kOther);
  void clear();
  uint64_t calls(JournalFsOp op) const { return ops_[idx(op)].calls.load(); }
  // Calls of every operation that reaches the operating system.
  uint64_t total_calls() const;

  zv::IoResult<std::unique_ptr<JournalFile>> create_new(const std::string& path) override;
  zv::IoResult<std::unique_ptr<JournalFile>> open_existing(const std::string& path) override;
  zv::IoStatus remove_file(const std::string& path) override;
  zv::IoStatus sync_dir(const std::string& path) override;

  // Counts a call and fails it when armed; used by the files it opened.
  zv::IoStatus check(JournalFsOp op);

 private:
  static size_t idx(JournalFsOp op) { return static_cast<size_t>(op); }
  struct Counter {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> fail_from{0};  // 0: off
    std::atomic<uint64_t> fail_until{0};
    std::atomic<int> kind{0};
  };
  Counter ops_[static_cast<size_t>(JournalFsOp::kCount)];
};

}  // namespace morva::testing
