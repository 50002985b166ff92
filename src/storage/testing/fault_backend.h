// An in-memory backend whose writes can be made to fail: the next put, batch
// or delete of partition 0 (or any partition) returns a Backend error and
// writes nothing. Counts the calls. Test-only; switches set before use, the
// counters are atomic.
#pragma once

#include <atomic>
#include <string>

#include "src/backends/in_memory_backend.h"

namespace zv::testing {

class FaultBackend final : public StorageBackend {
 public:
  std::atomic<int> fail_puts{0};     // the next n puts fail
  std::atomic<int> fail_batches{0};  // the next n batches fail
  std::atomic<int> fail_dels{0};
  std::atomic<int> fail_gets{0};
  std::atomic<int> puts{0}, batches{0}, dels{0};
  std::atomic<size_t> last_batch_size{0};

  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override { return inner.scan_all(p); }
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p, std::string_view x) override {
    return inner.prefix_iter(p, x);
  }
  ZolvaStatus put(Partition p, std::string_view k, std::string_view v) override {
    ++puts;
    if (take(fail_puts)) return fault("put");
    return inner.put(p, k, v);
  }
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view k) override {
    if (take(fail_gets)) return make_unexpected(ZolvaError::backend("injected get failure"));
    return inner.get(p, k);
  }
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p, std::span<const std::string> keys) override {
    return inner.multi_get(p, keys);
  }
  ZolvaStatus del(Partition p, std::string_view k) override {
    ++dels;
    if (take(fail_dels)) return fault("delete");
    return inner.del(p, k);
  }
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override {
    ++batches;
    last_batch_size = ops.size();
    if (take(fail_batches)) return fault("batch");
    return inner.write_batch(std::move(ops));
  }
  ZolvaStatus flush() override { return inner.flush(); }
  uint64_t limit_hint() const override { return inner.limit_hint(); }

  InMemoryBackend inner;

 private:
  static bool take(std::atomic<int>& n) {
    int v = n.load();
    while (v > 0)
      if (n.compare_exchange_weak(v, v - 1)) return true;
    return false;
  }
  static ZolvaStatus fault(const char* what) {
    return make_unexpected(ZolvaError::backend(std::string("injected ") + what + " failure"));
  }
};

}  // namespace zv::testing
