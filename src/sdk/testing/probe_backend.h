// A backend for handle tests: forwards to an inner backend, counts flushes
// and the prefix iterations of each partition, can refuse the writes of one
// partition or end the prefix iterations of one partition with an error
// after some pairs, runs a hook before each batch, and tells (through a weak reference) whether it has
// been destroyed. Test-only; switches set before use, counters atomic.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "src/backends/backend_factory.h"
#include "src/backends/storage_backend.h"

namespace zv::sdk_testing {

class ProbeBackend final : public StorageBackend {
 public:
  explicit ProbeBackend(std::shared_ptr<StorageBackend> inner) : inner_(std::move(inner)) {}

  std::atomic<int> flushes{0};
  // Puts and batches touching this partition fail with a Backend error.
  std::optional<Partition> refuse_writes_of;
  std::array<std::atomic<int>, kPartitionCount> prefix_iters{};
  // Prefix iterations of this partition report an error after
  // `fail_prefix_after` pairs.
  std::optional<Partition> fail_prefix_of;
  size_t fail_prefix_after = 0;
  // Called with every batch before it is written.
  std::function<void(const std::vector<BatchOp>&)> before_batch;

  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override { return inner_->scan_all(p); }
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p, std::string_view x) override {
    ++prefix_iters[static_cast<size_t>(p)];
    auto it = inner_->prefix_iter(p, x);
    if (!it.ok() || fail_prefix_of != p) return it;
    return std::unique_ptr<PrefixIter>(
        std::make_unique<FailingIter>(std::move(it).value(), fail_prefix_after));
  }
  ZolvaStatus put(Partition p, std::string_view k, std::string_view v) override {
    if (refuse_writes_of == p) return refused();
    return inner_->put(p, k, v);
  }
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view k) override {
    return inner_->get(p, k);
  }
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p, std::span<const std::string> keys) override {
    return inner_->multi_get(p, keys);
  }
  ZolvaStatus del(Partition p, std::string_view k) override {
    if (refuse_writes_of == p) return refused();
    return inner_->del(p, k);
  }
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override {
    if (before_batch) before_batch(ops);
    for (const BatchOp& op : ops) {
      if (refuse_writes_of == op.partition) return refused();
    }
    return inner_->write_batch(std::move(ops));
  }
  ZolvaStatus flush() override {
    ++flushes;
    return inner_->flush();
  }
  uint64_t limit_hint() const override { return inner_->limit_hint(); }

 private:
  // Forwards `left` pairs, then reports an error.
  class FailingIter final : public PrefixIter {
   public:
    FailingIter(std::unique_ptr<PrefixIter> inner, size_t left) : inner_(std::move(inner)), left_(left) {}
    std::optional<ZolvaResult<KvPair>> next() override {
      if (left_ == 0) return ZolvaResult<KvPair>(make_unexpected(ZolvaError::backend("injected scan failure")));
      --left_;
      return inner_->next();
    }

   private:
    std::unique_ptr<PrefixIter> inner_;
    size_t left_;
  };

  static ZolvaStatus refused() {
    return make_unexpected(ZolvaError::backend("injected write failure"));
  }
  std::shared_ptr<StorageBackend> inner_;
};

// A factory table whose key-value engine entry opens the durable test
// backend wrapped in a probe; `made` receives the probe (weakly).
BackendFactoryTable probe_factory_table(std::weak_ptr<ProbeBackend>* made,
                                        std::optional<Partition> refuse_writes_of = std::nullopt);

}  // namespace zv::sdk_testing
