// A bounded statistics cache behind its own reader-writer lock, keyed by
// bytes: the engine holds one for term document frequencies and one for
// namespace statistics. A generation, advanced by every upkeep change and by
// clear under the write lock, lets a reader that missed insert what it read
// from the backend only when no upkeep ran meanwhile; otherwise a stale value
// could outlive the newer one. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zv::text {

template <class V>
class StatsCache {
 public:
  // Above max_entries an insert drops half of the entries (count / 2).
  explicit StatsCache(size_t max_entries) : max_entries_(max_entries) {}
  StatsCache(const StatsCache&) = delete;
  StatsCache& operator=(const StatsCache&) = delete;

  struct Lookup {
    std::optional<V> value;
    uint64_t generation = 0;  // to hand to insert_if_unchanged after a miss
  };

  Lookup lookup(std::string_view key) const {
    std::shared_lock lock(mu_);
    Lookup out;
    out.generation = generation_;
    if (!map_.empty()) {
      auto it = map_.find(key);
      if (it != map_.end()) out.value = it->second;
    }
    return out;
  }

  // A reader's insert after a miss: only when the generation is still the
  // one its lookup saw. Returns whether it was inserted.
  bool insert_if_unchanged(std::string_view key, const V& value, uint64_t seen_generation) {
    std::unique_lock lock(mu_);
    if (generation_ != seen_generation) return false;
    put_locked(key, value);
    return true;
  }

  // The upkeep after a batch the backend accepted: the batch's value wins.
  void upsert(std::string_view key, const V& value) {
    std::unique_lock lock(mu_);
    ++generation_;
    put_locked(key, value);
  }

  void erase(std::string_view key) {
    std::unique_lock lock(mu_);
    ++generation_;
    auto it = map_.find(key);
    if (it != map_.end()) map_.erase(it);
  }

  void clear() {
    std::unique_lock lock(mu_);
    ++generation_;
    map_.clear();
  }

  size_t size() const {
    std::shared_lock lock(mu_);
    return map_.size();
  }

  std::optional<V> peek(std::string_view key) const { return lookup(key).value; }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using Map = std::unordered_map<std::string, V, Hash, std::equal_to<>>;

  void put_locked(std::string_view key, const V& value) {
    auto it = map_.find(key);
    if (it != map_.end()) {
      it->second = value;
    } else {
      map_.emplace(std::string(key), value);
    }
    if (map_.size() > max_entries_) {
      size_t drop = map_.size() / 2;
      for (auto i = map_.begin(); drop > 0; --drop) i = map_.erase(i);
    }
  }

  const size_t max_entries_;
  mutable std::shared_mutex mu_;
  uint64_t generation_ = 0;  // guarded by mu_
  Map map_;                  // guarded by mu_
};

}  // namespace zv::text
