#include "src/backends/in_memory_backend.h"

#include <mutex>

#include "platform/panic.h"

namespace zv {

namespace {

// Reads one prefix from a snapshot of a partition, holding no lock between
// calls. The snapshot is dropped under the backend's lock, so a writer that
// then finds a node unshared changes it only after our last read of it.
class SnapshotPrefixIter final : public PrefixIter {
 public:
  SnapshotPrefixIter(std::shared_ptr<std::shared_mutex> mu, SnapshotTree::Snapshot root,
                     std::string_view prefix)
      : mu_(std::move(mu)), root_(std::move(root)), cursor_(root_.get()), prefix_(prefix) {
    cursor_.seek(prefix_);
  }
  ~SnapshotPrefixIter() override {
    std::shared_lock lock(*mu_);
    root_.reset();
  }

  std::optional<ZolvaResult<KvPair>> next() override {
    if (!cursor_.valid() || !cursor_.key().starts_with(prefix_)) return std::nullopt;
    KvPair kv{std::string(cursor_.key()), std::string(cursor_.value())};
    cursor_.next();
    return ZolvaResult<KvPair>(std::move(kv));
  }

  // The snapshot's nodes never change, so views into them outlive the step.
  std::optional<ZolvaResult<View>> next_view() override {
    if (!cursor_.valid() || !cursor_.key().starts_with(prefix_)) return std::nullopt;
    const View view{cursor_.key(), cursor_.value()};
    cursor_.next();
    return ZolvaResult<View>(view);
  }

 private:
  std::shared_ptr<std::shared_mutex> mu_;
  SnapshotTree::Snapshot root_;
  SnapshotTree::Cursor cursor_;
  std::string prefix_;
};

}  // namespace

const SnapshotTree* InMemoryBackend::find_part(Partition p) const {
  const auto i = static_cast<uint8_t>(p);
  return i < kPartitionCount ? &parts_[i] : nullptr;
}

ZolvaResult<std::vector<KvPair>> InMemoryBackend::scan_all(Partition p) {
  std::shared_lock lock(*mu_);
  std::vector<KvPair> out;
  const SnapshotTree* t = find_part(p);
  if (t == nullptr) return out;
  out.reserve(t->size());
  SnapshotTree::Cursor c(t->root());
  for (c.seek({}); c.valid(); c.next()) out.push_back(KvPair{std::string(c.key()), std::string(c.value())});
  return out;
}

ZolvaResult<std::unique_ptr<PrefixIter>> InMemoryBackend::prefix_iter(Partition p,
                                                                      std::string_view prefix) {
  SnapshotTree::Snapshot root;
  {
    std::shared_lock lock(*mu_);
    const SnapshotTree* t = find_part(p);
    if (t == nullptr) return std::unique_ptr<PrefixIter>(std::make_unique<VectorPrefixIter>(std::vector<KvPair>()));
    root = t->snapshot();
  }
  return std::unique_ptr<PrefixIter>(std::make_unique<SnapshotPrefixIter>(mu_, std::move(root), prefix));
}

ZolvaStatus InMemoryBackend::put(Partition p, std::string_view key, std::string_view value) {
  ZV_CHECK(static_cast<uint8_t>(p) < kPartitionCount, "partition out of range");
  std::unique_lock lock(*mu_);
  part(p).put(key, value);
  return {};
}

ZolvaResult<std::optional<std::string>> InMemoryBackend::get(Partition p, std::string_view key) {
  std::shared_lock lock(*mu_);
  const SnapshotTree* t = find_part(p);
  if (t == nullptr) return std::optional<std::string>();
  std::optional<std::string_view> v = t->find(key);
  if (!v) return std::optional<std::string>();
  return std::optional<std::string>(std::in_place, *v);
}

ZolvaResult<std::vector<KvPair>> InMemoryBackend::multi_get(Partition p,
                                                            std::span<const std::string> keys) {
  std::shared_lock lock(*mu_);
  std::vector<KvPair> out;
  const SnapshotTree* t = find_part(p);
  if (t == nullptr) return out;
  out.reserve(keys.size());
  for (const std::string& k : keys) {
    if (std::optional<std::string_view> v = t->find(k)) out.push_back(KvPair{k, std::string(*v)});
  }
  return out;
}

ZolvaStatus InMemoryBackend::del(Partition p, std::string_view key) {
  std::unique_lock lock(*mu_);
  if (static_cast<uint8_t>(p) >= kPartitionCount) return {};
  part(p).erase(key);
  return {};
}

ZolvaStatus InMemoryBackend::write_batch(std::vector<BatchOp> ops) {
  for (const BatchOp& op : ops)
    ZV_CHECK(static_cast<uint8_t>(op.partition) < kPartitionCount, "partition out of range");
  std::unique_lock lock(*mu_);
  for (const BatchOp& op : ops) {
    if (op.kind == BatchOp::Kind::kPut) {
      part(op.partition).put(op.key, op.value);
    } else {
      part(op.partition).erase(op.key);
    }
  }
  return {};
}

}  // namespace zv
