// Sequence numbers and the shared counter that hands them out (also used for
// memtable, table and blob file ids). Copies of a SeqNoCounter share one
// atomic cell; every operation is safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace tervik {

using SeqNo = uint64_t;

// Values at or above this are never handed out.
inline constexpr SeqNo kSeqNoLimit = SeqNo{1} << 63;

class SeqNoCounter {
 public:
  explicit SeqNoCounter(uint64_t start = 0)
      : cell_(std::make_shared<std::atomic<uint64_t>>(start)) {}

  // Hands out the current value and advances by one; a value with its top bit
  // set is the fatal error "Ran out of sequence numbers".
  SeqNo next() const;
  // The value the next call of next() would hand out.
  SeqNo get() const { return cell_->load(std::memory_order_seq_cst); }
  // Raises the counter to at least `value`; never lowers it.
  void raise_to(uint64_t value) const;

 private:
  std::shared_ptr<std::atomic<uint64_t>> cell_;
};

}  // namespace tervik
