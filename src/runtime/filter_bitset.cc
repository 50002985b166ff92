#include "src/runtime/filter_bitset.h"

#include "platform/coding.h"

namespace zv {

namespace {

constexpr const char* kTruncatedLength = "FilterBitset: truncated length";
constexpr const char* kTooManyWords = "FilterBitset: word_count exceeds maximum";
constexpr const char* kTruncatedWords = "FilterBitset: truncated words";

}  // namespace

FilterBitset FilterBitset::all_ones() { return FilterBitset({~uint64_t{0}}); }

const FilterBitset& FilterBitset::unfiltered() {
  static const FilterBitset instance = all_ones();
  return instance;
}

FilterBitset FilterBitset::with_capacity(size_t bits) {
  FilterBitset b;
  b.words_.reserve((bits + 63) / 64);
  return b;
}

void FilterBitset::set(uint32_t bit) {
  size_t word = bit / 64;
  if (word >= words_.size()) words_.resize(word + 1, 0);
  words_[word] |= uint64_t{1} << (bit % 64);
}

bool FilterBitset::matches(std::span<const uint64_t> node, std::span<const uint64_t> filter) {
  // The unfiltered value is known by its first word before any node word.
  if (is_unfiltered(filter)) return true;
  size_t common = std::min(node.size(), filter.size());
  for (size_t i = 0; i < common; ++i)
    if (filter[i] & ~node[i]) return false;
  for (size_t i = common; i < filter.size(); ++i)
    if (filter[i] != 0) return false;
  return true;
}

std::string FilterBitset::encode() const {
  std::string out;
  out.reserve(4 + 8 * words_.size());
  encode_to(&out);
  return out;
}

void FilterBitset::encode_to(std::string* dst) const {
  coding::put_u32_le(dst, static_cast<uint32_t>(words_.size()));
  for (uint64_t w : words_) coding::put_u64_le(dst, w);
}

IoResult<DecodedFilterBitset> FilterBitset::decode(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return make_unexpected(IoError(IoErrorKind::kUnexpectedEof, kTruncatedLength));
  uint32_t n = coding::get_u32_le(bytes.data());
  // Checked before any allocation, so a corrupt count cannot ask for much.
  if (n > kMaxWords) return make_unexpected(IoError(IoErrorKind::kInvalidData, kTooManyWords));
  size_t used = 4 + 8 * static_cast<size_t>(n);
  if (bytes.size() < used) return make_unexpected(IoError(IoErrorKind::kUnexpectedEof, kTruncatedWords));
  std::vector<uint64_t> words(n);
  for (uint32_t i = 0; i < n; ++i) words[i] = coding::get_u64_le(bytes.data() + 4 + 8 * i);
  return DecodedFilterBitset{FilterBitset(std::move(words)), used};
}

}  // namespace zv
