// One level's Bloom filter setting: bits per key, a target false-positive
// rate, or no filter. The tree configuration keeps one per level; the filter
// writers size each table's filter from it. Plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tervik {

enum class FilterPolicyKind : uint32_t {
  kBitsPerKey = 0,
  kFalsePositiveRate = 1,
  kNone = 2,  // the value is ignored; writers treat it as 0 bits per key
};

struct FilterPolicyEntry {
  FilterPolicyKind kind = FilterPolicyKind::kBitsPerKey;
  float value = 10.0f;

  static FilterPolicyEntry bits_per_key(float bits) {
    return {FilterPolicyKind::kBitsPerKey, bits};
  }
  static FilterPolicyEntry false_positive_rate(float rate) {
    return {FilterPolicyKind::kFalsePositiveRate, rate};
  }
  static FilterPolicyEntry none() { return {FilterPolicyKind::kNone, 0.0f}; }

  // The stored form: tag 0, 1 or 2 and the float; another tag gives none.
  static std::optional<FilterPolicyEntry> from_tag(uint32_t tag, float value);
  uint32_t tag() const { return static_cast<uint32_t>(kind); }

  bool operator==(const FilterPolicyEntry&) const = default;
  // "BitsPerKey(10.0)", "FalsePositiveRate(0.0001)", "None".
  std::string debug_string() const;
};

}  // namespace tervik
