// Per-level policies of a tree: a non-empty list whose entry i applies to
// level i and whose last entry applies to every deeper level. Read by flush,
// ingestion, compaction (how tables are written) and table loading (pinning).
// Immutable values once built; safe to share between threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "platform/panic.h"
#include "tervik/core/compression_type.h"

namespace tervik {

inline constexpr const char* kFatalEmptyPolicy = "policy should not be empty";

template <class T>
class LevelPolicy {
 public:
  LevelPolicy() = default;
  LevelPolicy(std::initializer_list<T> entries) : entries_(entries) {}
  explicit LevelPolicy(std::vector<T> entries) : entries_(std::move(entries)) {}

  // Entry min(level, size - 1); an empty policy is a broken invariant, caught
  // here at its first use rather than when it was set.
  T get(size_t level) const {
    ZV_CHECK(!entries_.empty(), kFatalEmptyPolicy);
    return entries_[std::min(level, entries_.size() - 1)];
  }

  const std::vector<T>& entries() const { return entries_; }
  bool operator==(const LevelPolicy&) const = default;

 protected:
  std::vector<T> entries_;
};

// Data block size in bytes.
class BlockSizePolicy : public LevelPolicy<uint32_t> {
 public:
  using LevelPolicy::LevelPolicy;
  static BlockSizePolicy all(uint32_t bytes) { return BlockSizePolicy{bytes}; }
};

// Share of a data block's entries given a hash index slot.
class HashRatioPolicy : public LevelPolicy<float> {
 public:
  using LevelPolicy::LevelPolicy;
  static HashRatioPolicy all(float ratio) { return HashRatioPolicy{ratio}; }
};

class CompressionPolicy : public LevelPolicy<CompressionType> {
 public:
  using LevelPolicy::LevelPolicy;
  static CompressionPolicy disabled() { return CompressionPolicy{CompressionType::kNone}; }
};

class RestartIntervalPolicy : public LevelPolicy<uint8_t> {
 public:
  using LevelPolicy::LevelPolicy;
  static RestartIntervalPolicy all(uint8_t interval) { return RestartIntervalPolicy{interval}; }
};

// Per-level switches: block pinning and index/filter partitioning.
class PinningPolicy : public LevelPolicy<bool> {
 public:
  using LevelPolicy::LevelPolicy;
};

}  // namespace tervik
