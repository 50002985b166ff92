// A variable-length set of filter bits: every vector-index node carries one,
// and every filtered search takes one as the bits a node must have. One word
// of all ones is the unfiltered value, shared process-wide. A plain value;
// the shared unfiltered instance is immutable and safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/io_error.h"

namespace zv {


struct DecodedFilterBitset;

class FilterBitset {
 public:
  // A decoder accepts at most this many words (262,144 bits).
  static constexpr uint32_t kMaxWords = 4096;

  FilterBitset() = default;
  explicit FilterBitset(std::vector<uint64_t> words) : words_(std::move(words)) {}

  // The unfiltered value: one word with all 64 bits set.
  static FilterBitset all_ones();
  // The process-wide unfiltered instance, for searches given no filter.
  static const FilterBitset& unfiltered();
  // Empty, with room for ceil(bits / 64) words.
  static FilterBitset with_capacity(size_t bits);

  // Sets bit b (word b / 64, bit b % 64 from the least significant), growing
  // the word list with zero words as needed.
  void set(uint32_t bit);
  bool is_unfiltered() const { return is_unfiltered(words_); }
  static bool is_unfiltered(std::span<const uint64_t> words) {
    return words.size() == 1 && words[0] == ~uint64_t{0};
  }

  // Whether a node with these bits passes the filter: the unfiltered value
  // passes every node; otherwise every filter bit must be set on the node
  // (missing node words count as zero).
  static bool matches(std::span<const uint64_t> node, std::span<const uint64_t> filter);
  static bool matches(const FilterBitset& node, const FilterBitset& filter) {
    return matches(node.words_, filter.words_);
  }

  // Little-endian u32 word count, then each word as little-endian u64.
  std::string encode() const;
  void encode_to(std::string* dst) const;
  // Reads one bitset from the front of bytes (which may run on) and reports
  // the bytes used. Errors: fewer than 4 bytes, a count above kMaxWords, or
  // fewer bytes than the count needs.
  static IoResult<DecodedFilterBitset> decode(std::span<const uint8_t> bytes);

  const std::vector<uint64_t>& words() const { return words_; }
  std::vector<uint64_t>& mutable_words() { return words_; }
  bool operator==(const FilterBitset&) const = default;

 private:
  std::vector<uint64_t> words_;
};

struct DecodedFilterBitset {
  FilterBitset bitset;
  size_t bytes_used = 0;
};

}  // namespace zv
