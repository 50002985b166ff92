#include "src/backends/in_memory_backend.h"

#include <mutex>

#include "platform/panic.h"

namespace zv {

const InMemoryBackend::Map* InMemoryBackend::find_part(Partition p) const {
  const auto i = static_cast<uint8_t>(p);
  return i < kPartitionCount ? &parts_[i] : nullptr;
}

ZolvaResult<std::vector<KvPair>> InMemoryBackend::scan_all(Partition p) {
  std::shared_lock lock(mu_);
  std::vector<KvPair> out;
  const Map* m = find_part(p);
  if (m == nullptr) return out;
  out.reserve(m->size());
  for (const auto& [k, v] : *m) out.push_back(KvPair{k, v});
  return out;
}

ZolvaResult<std::unique_ptr<PrefixIter>> InMemoryBackend::prefix_iter(Partition p,
                                                                      std::string_view prefix) {
  std::vector<KvPair> out;
  {
    std::shared_lock lock(mu_);
    if (const Map* m = find_part(p)) {
      for (auto it = m->lower_bound(prefix); it != m->end() && it->first.starts_with(prefix);
           ++it)
        out.push_back(KvPair{it->first, it->second});
    }
  }
  return std::unique_ptr<PrefixIter>(std::make_unique<VectorPrefixIter>(std::move(out)));
}

ZolvaStatus InMemoryBackend::put(Partition p, std::string_view key, std::string_view value) {
  ZV_CHECK(static_cast<uint8_t>(p) < kPartitionCount, "partition out of range");
  std::unique_lock lock(mu_);
  Map& m = part(p);
  auto it = m.find(key);
  if (it != m.end()) {
    it->second.assign(value);
  } else {
    m.emplace(std::string(key), std::string(value));
  }
  return {};
}

ZolvaResult<std::optional<std::string>> InMemoryBackend::get(Partition p, std::string_view key) {
  std::shared_lock lock(mu_);
  const Map* m = find_part(p);
  if (m == nullptr) return std::optional<std::string>();
  auto it = m->find(key);
  if (it == m->end()) return std::optional<std::string>();
  return std::optional<std::string>(it->second);
}

ZolvaResult<std::vector<KvPair>> InMemoryBackend::multi_get(Partition p,
                                                            std::span<const std::string> keys) {
  std::shared_lock lock(mu_);
  std::vector<KvPair> out;
  const Map* m = find_part(p);
  if (m == nullptr) return out;
  for (const std::string& k : keys) {
    auto it = m->find(k);
    if (it != m->end()) out.push_back(KvPair{it->first, it->second});
  }
  return out;
}

ZolvaStatus InMemoryBackend::del(Partition p, std::string_view key) {
  std::unique_lock lock(mu_);
  if (static_cast<uint8_t>(p) >= kPartitionCount) return {};
  Map& m = part(p);
  if (auto it = m.find(key); it != m.end()) m.erase(it);
  return {};
}

ZolvaStatus InMemoryBackend::write_batch(std::vector<BatchOp> ops) {
  for (const BatchOp& op : ops)
    ZV_CHECK(static_cast<uint8_t>(op.partition) < kPartitionCount, "partition out of range");
  std::unique_lock lock(mu_);
  for (BatchOp& op : ops) {
    Map& m = part(op.partition);
    if (op.kind == BatchOp::Kind::kPut) {
      m.insert_or_assign(std::move(op.key), std::move(op.value));
    } else if (auto it = m.find(op.key); it != m.end()) {
      m.erase(it);
    }
  }
  return {};
}

}  // namespace zv
