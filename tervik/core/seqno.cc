#include "tervik/core/seqno.h"

#include "platform/panic.h"
#include "tervik/core/fatal.h"

namespace tervik {

SeqNo SeqNoCounter::next() const {
  SeqNo v = cell_->fetch_add(1, std::memory_order_seq_cst);
  if (v >= kSeqNoLimit) zv::panic(kFatalSeqNoExhausted);
  return v;
}

void SeqNoCounter::raise_to(uint64_t value) const {
  uint64_t cur = cell_->load(std::memory_order_seq_cst);
  while (cur < value &&
         !cell_->compare_exchange_weak(cur, value, std::memory_order_seq_cst)) {
  }
}

}  // namespace tervik
