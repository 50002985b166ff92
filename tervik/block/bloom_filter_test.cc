#include "tervik/block/bloom_filter.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/coding.h"
#include "platform/log.h"

namespace tervik {
namespace {

TEST(BloomFilter, SizesMatchThePolicyFigures) {
  struct Case {
    std::string name;
    FilterPolicyEntry policy;
    uint64_t n;
    uint64_t bytes;
    uint64_t m;
    uint64_t k;
  };
  const Case cases[] = {
      {"10 bits per key, 1000 keys", FilterPolicyEntry::bits_per_key(10.0f), 1000, 1250, 10000, 6},
      {"10.9 bits per key truncates bits, not k", FilterPolicyEntry::bits_per_key(10.9f), 1000,
       1250, 10000, 7},
      {"10 bits per key, 3 keys", FilterPolicyEntry::bits_per_key(10.0f), 3, 4, 32, 6},
      {"1 bit per key", FilterPolicyEntry::bits_per_key(1.0f), 1000, 125, 1000, 1},
      {"rate 0.0001", FilterPolicyEntry::false_positive_rate(0.0001f), 1000, 2397, 19176, 13},
      {"rate 0.01", FilterPolicyEntry::false_positive_rate(0.01f), 1000, 1199, 9592, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = BloomFilter::with_policy(c.policy, c.n);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->has_value());
    EXPECT_EQ((*f)->bit_count(), c.m);
    EXPECT_EQ((*f)->probe_count(), c.k);
    std::string payload;
    (*f)->encode_into(&payload);
    EXPECT_EQ(payload.size(), 22 + c.bytes);
    EXPECT_EQ(payload.substr(0, 6), std::string("LSM\x03\x00\x00", 6));
    EXPECT_EQ(zv::coding::get_u64_le(payload.data() + 6), c.m);
    EXPECT_EQ(zv::coding::get_u64_le(payload.data() + 14), c.k);
  }
  // A rate of 0 is taken as 1e-7.
  auto zero = BloomFilter::with_false_positive_rate(1000, 0.0f);
  auto floor = BloomFilter::with_false_positive_rate(1000, 1e-7f);
  EXPECT_EQ((*zero)->bit_count(), (*floor)->bit_count());
  EXPECT_EQ((*zero)->probe_count(), (*floor)->probe_count());
}

TEST(BloomFilter, PoliciesWithoutBitsWriteNoFilter) {
  struct Case {
    std::string name;
    FilterPolicyEntry policy;
    uint64_t n;
  };
  const Case cases[] = {
      {"no filter entry", FilterPolicyEntry::none(), 1000},
      {"0 bits per key", FilterPolicyEntry::bits_per_key(0.0f), 1000},
      {"0.5 bits per key", FilterPolicyEntry::bits_per_key(0.5f), 1000},
      {"negative bits per key", FilterPolicyEntry::bits_per_key(-3.0f), 1000},
      {"NaN bits per key", FilterPolicyEntry::bits_per_key(std::nanf("")), 1000},
      {"rate 1", FilterPolicyEntry::false_positive_rate(1.0f), 1000},
      {"rate 2", FilterPolicyEntry::false_positive_rate(2.0f), 1000},
      {"no keys", FilterPolicyEntry::bits_per_key(10.0f), 0},
      {"no keys by rate", FilterPolicyEntry::false_positive_rate(0.01f), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = BloomFilter::with_policy(c.policy, c.n);
    ASSERT_TRUE(f.ok());
    EXPECT_FALSE(f->has_value());
  }
  auto huge = BloomFilter::with_bits_per_key(1ull << 40, 100.0f);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().io_error().kind(), zv::IoErrorKind::kInvalidInput);
}

TEST(BloomFilter, SetKeysTestTrueAndFalsePositiveRateMatchesTheory) {
  const uint64_t n = 100000;
  auto f = BloomFilter::with_bits_per_key(n, 10.0f);
  ASSERT_TRUE(f.ok() && f->has_value());
  BloomFilter& filter = **f;
  for (uint64_t i = 0; i < n; ++i) filter.set_with_hash(BloomFilter::key_hash("key-" + std::to_string(i)));
  std::string payload;
  filter.encode_into(&payload);
  auto reader = BloomFilterReader::parse(payload);
  ASSERT_TRUE(reader.ok());
  for (uint64_t i = 0; i < n; ++i) {
    ASSERT_TRUE(reader->contains_hash(BloomFilter::key_hash("key-" + std::to_string(i)))) << i;
  }
  const uint64_t probes = 1000000;
  uint64_t positives = 0;
  for (uint64_t i = 0; i < probes; ++i) {
    positives += reader->contains_hash(BloomFilter::key_hash("absent-" + std::to_string(i)));
  }
  double k = static_cast<double>(filter.probe_count());
  double theory = std::pow(1.0 - std::exp(-k * n / static_cast<double>(filter.bit_count())), k);
  double measured = static_cast<double>(positives) / probes;
  EXPECT_NEAR(measured, theory, 0.2 * theory) << "measured " << measured << " theory " << theory;
  auto one = BloomFilter::contains_hash(payload, BloomFilter::key_hash("key-7"));
  ASSERT_TRUE(one.ok());
  EXPECT_TRUE(*one);
}

TEST(BloomFilter, StoredPayloadsAreCheckedInOrder) {
  auto f = BloomFilter::with_bits_per_key(10, 10.0f);
  std::string good;
  (*f)->encode_into(&good);
  auto with = [&](size_t at, char byte) {
    std::string s = good;
    s[at] = byte;
    return s;
  };
  std::string k_zero = good;
  std::memset(k_zero.data() + 14, 0, 8);
  std::string m_too_big = good;
  m_too_big[6] = static_cast<char>(0xFF);
  m_too_big[7] = static_cast<char>(0xFF);
  std::string m_zero = good;
  std::memset(m_zero.data() + 6, 0, 8);
  std::string k_above_m = good;
  k_above_m[14] = static_cast<char>(0xFF);
  k_above_m[15] = static_cast<char>(0xFF);

  struct Case {
    std::string name;
    std::string payload;
    TervikErrorKind kind;  // kIo for short input
    std::string detail;    // header name or tag name
  };
  const Case cases[] = {
      {"three bytes", good.substr(0, 3), TervikErrorKind::kIo, ""},
      {"bad magic, short", "LSMx123", TervikErrorKind::kInvalidHeader, "BloomFilter"},
      {"no type byte", good.substr(0, 4), TervikErrorKind::kIo, ""},
      {"blocked bloom", with(4, 1), TervikErrorKind::kUnrecoverable,
       "Invalid filter type, got=BlockedBloom, expected=StandardBloom"},
      {"type 2", with(4, 2), TervikErrorKind::kInvalidTag, "FilterType"},
      {"no hash type byte", good.substr(0, 5), TervikErrorKind::kIo, ""},
      {"hash type 1", with(5, 1), TervikErrorKind::kUnrecoverable, ""},
      {"header cut", good.substr(0, 21), TervikErrorKind::kIo, ""},
      {"m beyond the array", m_too_big, TervikErrorKind::kUnrecoverable, ""},
      {"m 0 with k above 0", m_zero, TervikErrorKind::kUnrecoverable, ""},
      {"k above m", k_above_m, TervikErrorKind::kUnrecoverable, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zv::log::CaptureSink sink(zv::log::Level::kError);
    auto r = BloomFilter::contains_hash(c.payload, 42);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), c.kind) << r.error().to_string();
    if (c.kind == TervikErrorKind::kIo) {
      EXPECT_EQ(r.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof);
    }
    if (c.kind == TervikErrorKind::kInvalidHeader) {
      EXPECT_EQ(r.error().header_name(), c.detail);
    }
    if (c.kind == TervikErrorKind::kUnrecoverable && !c.detail.empty()) {
      EXPECT_TRUE(sink.contains(c.detail));
    }
    if (c.kind == TervikErrorKind::kInvalidTag) {
      EXPECT_EQ(r.error().tag_name(), c.detail);
      EXPECT_EQ(r.error().tag_byte(), static_cast<uint8_t>(c.payload[4]));
    }
  }
  // k = 0 means "every key may be present".
  for (uint64_t h : {0ull, 1ull, 0xDEADBEEFull}) {
    auto r = BloomFilter::contains_hash(k_zero, h);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(*r);
  }
}

TEST(FilterPolicyEntry, FormsAndTags) {
  EXPECT_EQ(FilterPolicyEntry::bits_per_key(10.0f).debug_string(), "BitsPerKey(10.0)");
  EXPECT_EQ(FilterPolicyEntry::false_positive_rate(0.0001f).debug_string(),
            "FalsePositiveRate(0.0001)");
  EXPECT_EQ(FilterPolicyEntry::false_positive_rate(1e-7f).debug_string(), "FalsePositiveRate(1e-7)");
  EXPECT_EQ(FilterPolicyEntry::none().debug_string(), "None");
  EXPECT_EQ(FilterPolicyEntry::from_tag(1, 0.5f), FilterPolicyEntry::false_positive_rate(0.5f));
  EXPECT_EQ(FilterPolicyEntry::from_tag(2, 0.0f), FilterPolicyEntry::none());
  EXPECT_FALSE(FilterPolicyEntry::from_tag(3, 1.0f).has_value());
  EXPECT_EQ(filter_type_name(FilterType::kBlockedBloom), "BlockedBloom");
}

}  // namespace
}  // namespace tervik
