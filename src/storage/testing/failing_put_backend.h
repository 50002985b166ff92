// A backend that forwards to another one (the durable test backend, say) and
// fails puts on request: the put numbered `fail_at` (counted from 1; 0:
// none), and the next `fail_next` puts from the moment it is set. A failed
// put writes nothing. Test-only.
#pragma once

#include <atomic>
#include <memory>

#include "src/backends/storage_backend.h"

namespace zv::testing {

class FailingPutBackend final : public StorageBackend {
 public:
  explicit FailingPutBackend(std::shared_ptr<StorageBackend> inner, int fail_at = 0)
      : inner_(std::move(inner)), fail_at_(fail_at) {}
  std::atomic<int> fail_next{0};

  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override { return inner_->scan_all(p); }
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p, std::string_view x) override {
    return inner_->prefix_iter(p, x);
  }
  ZolvaStatus put(Partition p, std::string_view k, std::string_view v) override {
    const bool numbered = ++puts_ == fail_at_;
    if (numbered || (fail_next.load() > 0 && fail_next.fetch_sub(1) > 0))
      return make_unexpected(ZolvaError::backend("injected put failure"));
    return inner_->put(p, k, v);
  }
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view k) override {
    return inner_->get(p, k);
  }
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p, std::span<const std::string> keys) override {
    return inner_->multi_get(p, keys);
  }
  ZolvaStatus del(Partition p, std::string_view k) override { return inner_->del(p, k); }
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override { return inner_->write_batch(std::move(ops)); }
  ZolvaStatus flush() override { return inner_->flush(); }
  uint64_t limit_hint() const override { return inner_->limit_hint(); }

 private:
  std::shared_ptr<StorageBackend> inner_;
  int fail_at_;
  std::atomic<int> puts_{0};
};

}  // namespace zv::testing
