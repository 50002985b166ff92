// StorageBackend: the key-value store behind the storage engine, ten fixed
// partitions of byte keys and values. Implemented in memory (InMemoryBackend)
// and, persistently, over the key-value engine. Every implementation is safe
// to call from many threads at once; every read hands out owned copies.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/kv_service.h"

namespace zv {

// Pairs of one prefix scan in ascending unsigned byte order of the keys. An
// eager implementation hands out a snapshot gathered at the call; a lazy one
// may read as it goes and report an error, which ends the scan. Owned by the
// caller; holds no lock of the backend.
class PrefixIter {
 public:
  // A pair's bytes, valid until the iterator's next call or its end.
  struct View {
    std::string_view key;
    std::string_view value;
  };

  virtual ~PrefixIter() = default;
  // The next pair, an error (the last item), or none at the end.
  virtual std::optional<ZolvaResult<KvPair>> next() = 0;
  // The same sequence as next() without handing out copies: hot scans read
  // each pair once in place. By default the pair is held here.
  virtual std::optional<ZolvaResult<View>> next_view() {
    auto item = next();
    if (!item) return std::nullopt;
    if (!item->ok()) return ZolvaResult<View>(make_unexpected(std::move(*item).error()));
    held_ = std::move(**item);
    return ZolvaResult<View>(View{held_.key, held_.value});
  }

 private:
  KvPair held_;
};

// An iterator over pairs gathered in advance.
class VectorPrefixIter final : public PrefixIter {
 public:
  explicit VectorPrefixIter(std::vector<KvPair> pairs) : pairs_(std::move(pairs)) {}
  std::optional<ZolvaResult<KvPair>> next() override {
    if (pos_ == pairs_.size()) return std::nullopt;
    return ZolvaResult<KvPair>(std::move(pairs_[pos_++]));
  }

 private:
  std::vector<KvPair> pairs_;
  size_t pos_ = 0;
};

class StorageBackend {
 public:
  virtual ~StorageBackend() = default;

  // Every pair of the partition, ascending by key.
  virtual ZolvaResult<std::vector<KvPair>> scan_all(Partition p) = 0;
  // The pairs whose key starts with `prefix`, ascending by key.
  virtual ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p,
                                                              std::string_view prefix) = 0;
  // The items of prefix_iter collected; the first error item is the result.
  ZolvaResult<std::vector<KvPair>> scan_prefix(Partition p, std::string_view prefix);
  // Inserts the pair or replaces the value of an existing key.
  virtual ZolvaStatus put(Partition p, std::string_view key, std::string_view value) = 0;
  // The value, or none when the key is absent.
  virtual ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view key) = 0;
  // The pairs of the keys that exist, in request order; a key asked twice is
  // answered twice.
  virtual ZolvaResult<std::vector<KvPair>> multi_get(Partition p,
                                                     std::span<const std::string> keys) = 0;
  // Removes the key; an absent key is not an error.
  virtual ZolvaStatus del(Partition p, std::string_view key) = 0;
  // All operations take effect together, in list order (the last operation
  // on a key decides); no reader sees part of a batch.
  virtual ZolvaStatus write_batch(std::vector<BatchOp> ops) = 0;
  // Makes everything written so far durable.
  virtual ZolvaStatus flush() = 0;
  // A size fixed per backend.
  virtual uint64_t limit_hint() const = 0;
};

}  // namespace zv
