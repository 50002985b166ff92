// An in-memory backend with fault and interleaving hooks for engine tests:
// a callback run inside a point read after the value was fetched (a writer
// landing in the middle of a read), and a switch that makes batch reads hand
// back a malformed key. Test-only; the hooks are set before use.
#pragma once

#include <functional>
#include <string>

#include "src/backends/in_memory_backend.h"

namespace zv::testing {

class HookedBackend final : public StorageBackend {
 public:
  // Runs once, inside the next get of `key`, after its value was read.
  std::function<void()> on_get;
  std::string on_get_key;
  bool truncate_multi_get_key = false;

  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override { return inner.scan_all(p); }
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p, std::string_view x) override {
    return inner.prefix_iter(p, x);
  }
  ZolvaStatus put(Partition p, std::string_view k, std::string_view v) override {
    return inner.put(p, k, v);
  }
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view k) override {
    auto r = inner.get(p, k);
    if (on_get && k == on_get_key) {
      auto hook = std::move(on_get);
      on_get = nullptr;
      hook();
    }
    return r;
  }
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p, std::span<const std::string> keys) override {
    auto r = inner.multi_get(p, keys);
    if (truncate_multi_get_key && r.ok() && !r->empty()) r->back().key.pop_back();
    return r;
  }
  ZolvaStatus del(Partition p, std::string_view k) override { return inner.del(p, k); }
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override {
    return inner.write_batch(std::move(ops));
  }
  ZolvaStatus flush() override { return inner.flush(); }
  uint64_t limit_hint() const override { return inner.limit_hint(); }

  InMemoryBackend inner;
};

}  // namespace zv::testing
