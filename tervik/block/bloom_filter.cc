#include "tervik/block/bloom_filter.h"

#include <cmath>
#include <cstring>

#include "platform/checksum.h"
#include "platform/coding.h"
#include "tervik/block/block.h"
#include "tervik/block/block_layout.h"

namespace tervik {

namespace {

constexpr float kLn2 = 0.6931472f;
constexpr float kLn2Squared = -0.480453f;
constexpr float kMinFalsePositiveRate = 1e-7f;
constexpr uint64_t kProbeMultiplier = 0x517CC1B727220A95ull;
constexpr uint64_t kMaxFilterBytes = kMaxBlockLength - kBloomHeaderSize;

// Float to u64, truncating, saturated to the u64 range (NaN gives 0).
uint64_t saturate_u64(float f) {
  if (!(f > 0.0f)) return 0;
  if (f >= 18446744073709551615.0f) return UINT64_MAX;
  return static_cast<uint64_t>(f);
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return p > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(p);
}

TervikResult<std::optional<BloomFilter>> too_large(uint64_t bytes) {
  return zv::make_unexpected(TervikError::io(zv::IoError(
      zv::IoErrorKind::kInvalidInput, "Bloom filter of " + std::to_string(bytes) +
                                          " bytes exceeds the largest block")));
}

// Visits the k probed bits of a hash in order; stops when visit returns false.
template <class Visit>
bool probe(uint64_t hash, uint64_t m, uint64_t k, Visit&& visit) {
  uint64_t h1 = hash;
  uint64_t h2 = (hash >> 32) * kProbeMultiplier;
  for (uint64_t i = 1; i <= k; ++i) {
    if (!visit(h1 % m)) return false;
    if (i != k) {
      h1 += h2;
      h2 *= i;
    }
  }
  return true;
}

}  // namespace

std::string_view filter_type_name(FilterType t) {
  return t == FilterType::kBlockedBloom ? "BlockedBloom" : "StandardBloom";
}

BloomFilter::BloomFilter(uint64_t byte_count, uint64_t k)
    : bits_(byte_count, 0), m_(byte_count * 8), k_(k) {}

TervikResult<std::optional<BloomFilter>> BloomFilter::with_bits_per_key(uint64_t n,
                                                                        float bits_per_key) {
  if (!(bits_per_key > 0.0f) || n == 0) return std::optional<BloomFilter>();
  uint64_t bits = saturating_mul(n, saturate_u64(std::trunc(bits_per_key)));
  uint64_t bytes = saturate_u64(std::ceil(static_cast<float>(bits) * 0.125f));
  if (bytes == 0) return std::optional<BloomFilter>();
  if (bytes > kMaxFilterBytes) return too_large(bytes);
  uint64_t k = std::max<uint64_t>(1, saturate_u64(bits_per_key * kLn2));
  return std::optional<BloomFilter>(BloomFilter(bytes, k));
}

TervikResult<std::optional<BloomFilter>> BloomFilter::with_false_positive_rate(uint64_t n,
                                                                               float rate) {
  if (n == 0) return std::optional<BloomFilter>();
  float p = (std::isnan(rate) || rate < kMinFalsePositiveRate) ? kMinFalsePositiveRate : rate;
  float bytes_f = std::ceil(std::log(p) * static_cast<float>(n) / kLn2Squared * 0.125f);
  uint64_t m = saturate_u64(bytes_f * 8.0f);
  uint64_t bytes = m / 8;
  if (bytes == 0) return std::optional<BloomFilter>();
  if (bytes > kMaxFilterBytes) return too_large(bytes);
  uint64_t k = std::max<uint64_t>(1, saturate_u64(static_cast<float>(m / n) * kLn2));
  return std::optional<BloomFilter>(BloomFilter(bytes, k));
}

TervikResult<std::optional<BloomFilter>> BloomFilter::with_policy(const FilterPolicyEntry& policy,
                                                                  uint64_t n) {
  switch (policy.kind) {
    case FilterPolicyKind::kBitsPerKey: return with_bits_per_key(n, policy.value);
    case FilterPolicyKind::kFalsePositiveRate: return with_false_positive_rate(n, policy.value);
    case FilterPolicyKind::kNone: break;
  }
  return std::optional<BloomFilter>();
}

uint64_t BloomFilter::key_hash(std::string_view key) { return zv::xxh3_64(key.data(), key.size()); }

void BloomFilter::set_with_hash(uint64_t hash) {
  probe(hash, m_, k_, [&](uint64_t bit) {
    bits_[bit / 8] |= static_cast<uint8_t>(0x80u >> (bit % 8));
    return true;
  });
}

void BloomFilter::encode_into(std::string* out) const {
  out->append(kBlockMagic, 4);
  zv::coding::put_u8(out, static_cast<uint8_t>(FilterType::kStandardBloom));
  zv::coding::put_u8(out, kBloomHashXxh3);
  zv::coding::put_u64_le(out, m_);
  zv::coding::put_u64_le(out, k_);
  out->append(reinterpret_cast<const char*>(bits_.data()), bits_.size());
}

TervikResult<bool> BloomFilter::contains_hash(std::string_view payload, uint64_t hash) {
  ZV_ASSIGN_OR_RETURN(BloomFilterReader reader, BloomFilterReader::parse(payload));
  return reader.contains_hash(hash);
}

TervikResult<BloomFilterReader> BloomFilterReader::parse(std::string_view payload) {
  const auto* b = reinterpret_cast<const uint8_t*>(payload.data());
  if (payload.size() < 4) return zv::make_unexpected(TervikError::short_read());
  if (std::memcmp(b, kBlockMagic, 4) != 0) {
    return zv::make_unexpected(TervikError::invalid_header(kBloomFilterHeaderName));
  }
  if (payload.size() < 5) return zv::make_unexpected(TervikError::short_read());
  // Blocked Bloom filters are never written: a stored one is a damaged block.
  if (b[4] == static_cast<uint8_t>(FilterType::kBlockedBloom)) {
    return zv::make_unexpected(corrupt_block(
        "Invalid filter type, got=" + std::string(filter_type_name(FilterType::kBlockedBloom)) +
        ", expected=" + std::string(filter_type_name(FilterType::kStandardBloom))));
  }
  if (b[4] != static_cast<uint8_t>(FilterType::kStandardBloom)) {
    return zv::make_unexpected(TervikError::invalid_tag(kFilterTypeTagName, b[4]));
  }
  if (payload.size() < 6) return zv::make_unexpected(TervikError::short_read());
  if (b[5] != kBloomHashXxh3) {
    return zv::make_unexpected(corrupt_block("Invalid bloom hash type"));
  }
  if (payload.size() < kBloomHeaderSize) return zv::make_unexpected(TervikError::short_read());
  uint64_t m = zv::coding::get_u64_le(b + 6);
  uint64_t k = zv::coding::get_u64_le(b + 14);
  uint64_t array_bits = static_cast<uint64_t>(payload.size() - kBloomHeaderSize) * 8;
  if (k != 0 && (m == 0 || m > array_bits || k > m)) {
    // k > m would only repeat probes; refusing it bounds the work of a probe.
    return zv::make_unexpected(corrupt_block("Bloom filter bit count does not fit its array"));
  }
  return BloomFilterReader(b + kBloomHeaderSize, m, k);
}

bool BloomFilterReader::contains_hash(uint64_t hash) const {
  if (k_ == 0) return true;
  return probe(hash, m_, k_, [&](uint64_t bit) {
    return (bits_[bit / 8] & (0x80u >> (bit % 8))) != 0;
  });
}

}  // namespace tervik
