// Standard Bloom filters over user-key hashes (XXH3-64) and their stored
// payload: a 22-byte header (magic, filter type, hash type, bit count m,
// probe count k) and the bit array. The filter writers build one per table or
// partition; point reads test keys against the stored payload. A filter being
// built belongs to one writer; stored payloads are probed from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tervik/block/filter_policy.h"
#include "tervik/core/error.h"

namespace tervik {

enum class FilterType : uint8_t {
  kStandardBloom = 0,
  kBlockedBloom = 1,  // defined by the format, never written nor read
};

inline constexpr std::string_view kFilterTypeTagName = "FilterType";
inline constexpr std::string_view kBloomFilterHeaderName = "BloomFilter";
inline constexpr size_t kBloomHeaderSize = 22;
inline constexpr uint8_t kBloomHashXxh3 = 0;

// "StandardBloom" or "BlockedBloom".
std::string_view filter_type_name(FilterType t);

class BloomFilter {
 public:
  // Sizing for n keys. None when the filter would hold no bits (no keys, bits
  // per key below 1 or not a number, a rate of 1 or more): write no filter.
  // A filter too large for a block is an error.
  static TervikResult<std::optional<BloomFilter>> with_bits_per_key(uint64_t n, float bits_per_key);
  static TervikResult<std::optional<BloomFilter>> with_false_positive_rate(uint64_t n, float rate);
  // Dispatches on the entry; the "no filter" entry gives none.
  static TervikResult<std::optional<BloomFilter>> with_policy(const FilterPolicyEntry& policy,
                                                              uint64_t n);

  // The hash every filter of the tree uses for a user key: XXH3-64, seed 0.
  static uint64_t key_hash(std::string_view key);

  // Sets the k probed bits of one key hash.
  void set_with_hash(uint64_t hash);
  // Appends the stored payload: 22 + m / 8 bytes.
  void encode_into(std::string* out) const;

  uint64_t bit_count() const { return m_; }
  uint64_t probe_count() const { return k_; }

  // Parses `payload` and tests one hash: false when the key is certainly
  // absent. A payload that is not a readable filter is an error value.
  static TervikResult<bool> contains_hash(std::string_view payload, uint64_t hash);

 private:
  BloomFilter(uint64_t byte_count, uint64_t k);

  std::vector<uint8_t> bits_;
  uint64_t m_;
  uint64_t k_;
};

// A parsed stored filter, for probing many keys without re-reading the
// header. Views the payload; the caller keeps it alive.
class BloomFilterReader {
 public:
  static TervikResult<BloomFilterReader> parse(std::string_view payload);
  bool contains_hash(uint64_t hash) const;

  uint64_t bit_count() const { return m_; }
  uint64_t probe_count() const { return k_; }

 private:
  BloomFilterReader(const uint8_t* bits, uint64_t m, uint64_t k) : bits_(bits), m_(m), k_(k) {}
  const uint8_t* bits_;
  uint64_t m_;
  uint64_t k_;
};

}  // namespace tervik
