#include "src/backends/in_memory_backend.h"

#include <algorithm>
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

// A write's place in the sort: the first 24 key bytes after the prefix
// every key of the batch shares (big-endian, zero-padded) and the key's
// length, so that most comparisons, those of one key's delete and put
// included, stay out of the keys' own memory.
struct SortKey {
  uint64_t head[3];
  uint32_t length;
  uint32_t index;
};
constexpr size_t kHeadBytes = sizeof(SortKey::head);

uint64_t load_be(std::string_view s, size_t from) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) {
    v <<= 8;
    if (from + i < s.size()) v |= static_cast<unsigned char>(s[from + i]);
  }
  return v;
}

// Orders one partition's writes by key, a key's writes in batch order.
void sort_writes(std::vector<SnapshotTree::Write>* writes) {
  std::vector<SnapshotTree::Write>& w = *writes;
  if (w.size() < 2) return;
  const bool sorted = std::is_sorted(w.begin(), w.end(), [](const auto& a, const auto& b) {
    return a.key < b.key;
  });
  if (sorted) return;
  ZV_CHECK(w.size() < UINT32_MAX, "batch too large for the in-memory backend");
  size_t shared = w[0].key.size();
  for (const auto& x : w) {
    size_t i = 0;
    while (i < shared && i < x.key.size() && x.key[i] == w[0].key[i]) ++i;
    shared = i;
  }
  // Keys up to this length are told apart by head and length alone.
  const size_t covered = shared + kHeadBytes;
  std::vector<SortKey> keys(w.size());
  for (size_t i = 0; i < w.size(); ++i) {
    const std::string_view k = w[i].key;
    keys[i] = SortKey{{load_be(k, shared), load_be(k, shared + 8), load_be(k, shared + 16)},
                      static_cast<uint32_t>(std::min<size_t>(k.size(), UINT32_MAX)),
                      static_cast<uint32_t>(i)};
  }
  std::sort(keys.begin(), keys.end(), [&](const SortKey& a, const SortKey& b) {
    for (size_t j = 0; j < 3; ++j) {
      if (a.head[j] != b.head[j]) return a.head[j] < b.head[j];
    }
    if (a.length <= covered && b.length <= covered) {
      if (a.length != b.length) return a.length < b.length;
    } else if (const int c = w[a.index].key.compare(w[b.index].key); c != 0) {
      return c < 0;
    }
    return a.index < b.index;
  });
  std::vector<SnapshotTree::Write> out;
  out.reserve(w.size());
  for (const SortKey& k : keys) out.push_back(w[k.index]);
  w = std::move(out);
}

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
  // Each partition's writes sorted outside the lock, then applied in one
  // pass over its tree.
  std::array<std::vector<SnapshotTree::Write>, kPartitionCount> by_part;
  for (const BatchOp& op : ops) {
    by_part[static_cast<uint8_t>(op.partition)].push_back(
        {op.key, op.kind == BatchOp::Kind::kPut ? std::optional<std::string_view>(op.value)
                                                : std::nullopt});
  }
  for (auto& writes : by_part) sort_writes(&writes);
  std::unique_lock lock(*mu_);
  for (size_t p = 0; p < kPartitionCount; ++p) {
    if (!by_part[p].empty()) parts_[p].apply_sorted(by_part[p]);
  }
  return {};
}

}  // namespace zv
