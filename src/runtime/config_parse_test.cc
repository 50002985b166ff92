#include "src/runtime/config_parse.h"

#include <gtest/gtest.h>

#include <cmath>

#include "src/runtime/ip_address.h"

namespace zv::config {
namespace {

TEST(ParseMemoryLimitTest, SizesAndErrors) {
  struct Case {
    std::string text;
    uint64_t bytes;       // when error is empty
    std::string error;
  } cases[] = {
      {"512MB", 536870912, ""},
      {"512 mib", 536870912, ""},
      {"2GiB", 2147483648, ""},
      {"1TB", 1099511627776, ""},
      {"1tib", 1099511627776, ""},
      {"100", 100, ""},
      {"+7kb", 7168, ""},
      {" \t64 Kb \n", 65536, ""},
      {"\u00a08gb\u3000", uint64_t{8} << 30, ""},  // Unicode spaces are trimmed too
      {"0", 0, ""},
      {"18446744073709551615", 18446744073709551615u, ""},
      {"16777215TB", 18446742974197923840u, ""},
      {"1.5GB", 0, "invalid memory limit \"1.5GB\": expected a number with optional KB/MB/GB suffix"},
      {"512M", 0, "invalid memory limit \"512M\": expected a number with optional KB/MB/GB suffix"},
      {"-5", 0, "invalid memory limit \"-5\": expected a number with optional KB/MB/GB suffix"},
      {"KB", 0, "invalid memory limit \"KB\": expected a number with optional KB/MB/GB suffix"},
      {"++1", 0, "invalid memory limit \"++1\": expected a number with optional KB/MB/GB suffix"},
      {"18446744073709551616", 0,
       "invalid memory limit \"18446744073709551616\": expected a number with optional KB/MB/GB suffix"},
      // The number is checked before the suffix.
      {"x5KX", 0, "invalid memory limit \"x5KX\": expected a number with optional KB/MB/GB suffix"},
      {"5KX", 0, "invalid memory limit \"5KX\": unknown suffix \"KX\" — expected KB, MB, GB (or KiB, MiB, GiB)"},
      {"5 Gi", 0, "invalid memory limit \"5 Gi\": unknown suffix \"Gi\" — expected KB, MB, GB (or KiB, MiB, GiB)"},
      {"20000000000GB", 0, "memory limit \"20000000000GB\" overflows u64"},
      {"16777216TB", 0, "memory limit \"16777216TB\" overflows u64"},
      {"   ", 0, "empty memory limit"},
      {"", 0, "empty memory limit"},
      // A multi-byte character near the end gives no suffix at all.
      {"\u20ac5", 0, "invalid memory limit \"\u20ac5\": expected a number with optional KB/MB/GB suffix"},
      {"5\"\\", 0, "invalid memory limit \"5\\\"\\\\\": expected a number with optional KB/MB/GB suffix"},
  };
  for (const Case& c : cases) {
    auto r = parse_memory_limit(c.text);
    if (c.error.empty()) {
      ASSERT_TRUE(r.ok()) << c.text << ": " << r.error();
      EXPECT_EQ(*r, c.bytes) << c.text;
    } else {
      ASSERT_FALSE(r.ok()) << c.text << " gave " << *r;
      EXPECT_EQ(r.error(), c.error) << c.text;
    }
  }
}

TEST(ParseUnsignedTest, RuleAndBounds) {
  struct Case {
    std::string text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", 65535, true, 0},       {"+8081", 65535, true, 8081}, {"65535", 65535, true, 65535},
      {"65536", 65535, false, 0},  {"", 65535, false, 0},        {"+", 65535, false, 0},
      {" 1", 65535, false, 0},     {"1 ", 65535, false, 0},      {"-1", 65535, false, 0},
      {"0x10", 65535, false, 0},   {"00012", 65535, true, 12},   {"4294967295", 4294967295u, true, 4294967295u},
      {"4294967296", 4294967295u, false, 0},
      {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, false, 0},
      {"99999999999999999999", UINT64_MAX, false, 0},
  };
  for (const Case& c : cases) {
    auto r = parse_unsigned(c.text, c.max);
    ASSERT_EQ(r.ok(), c.ok) << "'" << c.text << "'";
    if (c.ok) EXPECT_EQ(*r, c.value) << c.text;
    else EXPECT_FALSE(r.error().empty());
  }
}

TEST(ParsePrefetchModeTest, Words) {
  struct Case {
    std::string text;
    std::optional<PrefetchMode> mode;
  } cases[] = {
      {"1", PrefetchMode::kEnabled},        {"on", PrefetchMode::kEnabled},
      {"true", PrefetchMode::kEnabled},     {"  ENABLED \t", PrefetchMode::kEnabled},
      {"0", PrefetchMode::kDisabled},       {"Off", PrefetchMode::kDisabled},
      {"FALSE", PrefetchMode::kDisabled},   {"disabled", PrefetchMode::kDisabled},
      {"AUTO", PrefetchMode::kAuto},        {"", std::nullopt},
      {"yes", std::nullopt},                {"enable", std::nullopt},
      {"au to", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_prefetch_mode(c.text), c.mode) << "'" << c.text << "'";
}

TEST(ParseF32Test, Forms) {
  struct Case {
    std::string text;
    bool ok;
    float value;  // NaN means "is NaN"
  } cases[] = {
      {"0.25", true, 0.25f}, {"1", true, 1.0f},     {"+0.5", true, 0.5f},  {"-0.1", true, -0.1f},
      {".5", true, 0.5f},    {"5.", true, 5.0f},    {"1e-1", true, 0.1f},  {"NaN", true, NAN},
      {"inf", true, INFINITY}, {"1e60", true, INFINITY}, {"1e-60", true, 0.0f},
      {"", false, 0},        {"abc", false, 0},     {"0.5x", false, 0},    {"++1", false, 0},
      {"0x1p3", false, 0},   {"nan(1)", false, 0},
  };
  for (const Case& c : cases) {
    auto r = parse_f32(c.text);
    ASSERT_EQ(r.ok(), c.ok) << c.text;
    if (!c.ok) continue;
    if (std::isnan(c.value)) EXPECT_TRUE(std::isnan(*r)) << c.text;
    else EXPECT_EQ(*r, c.value) << c.text;
  }
}

TEST(ConfigTextTest, TrimQuoteFill) {
  EXPECT_EQ(trim(" \t\r\n x y \u2003\u00a0"), "x y");
  EXPECT_EQ(trim("\u2003"), "");
  EXPECT_EQ(trim("\u20ac"), "\u20ac");  // a non-space multi-byte character stays
  EXPECT_EQ(quote("a\"b\\c\n\t\x01\x7f\u00e9"), "\"a\\\"b\\\\c\\n\\t\\u{1}\\u{7f}\u00e9\"");
  EXPECT_EQ(fill("{} and {} ({})", {"x", "y", "z"}), "x and y (z)");
  EXPECT_EQ(fill("{} {}", {"only"}), "only {}");
}

TEST(IpAddressTest, ParsesStrictly) {
  struct Case {
    std::string text;
    std::optional<std::string> canonical;
  } cases[] = {
      {"10.0.0.1", "10.0.0.1"},
      {"255.255.255.255", "255.255.255.255"},
      {"0.0.0.0", "0.0.0.0"},
      {"::1", "0:0:0:0:0:0:0:1"},
      {"::", "0:0:0:0:0:0:0:0"},
      {"fe80::1:2", "fe80:0:0:0:0:0:1:2"},
      {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
      {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
      {"::ffff:192.168.0.1", "0:0:0:0:0:ffff:c0a8:1"},
      {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
      {"ABCD::EF01", "abcd:0:0:0:0:0:0:ef01"},
      {"10.0.0.0/8", std::nullopt},
      {"256.0.0.1", std::nullopt},
      {"01.0.0.1", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1.2.3.4.5", std::nullopt},
      {"1.2.3.4:80", std::nullopt},
      {"", std::nullopt},
      {"1::2::3", std::nullopt},
      {"1:2:3:4:5:6:7:8:9", std::nullopt},
      {"1:2:3:4:5:6:7", std::nullopt},
      {"1:2:3:4:5:6:7:8::", std::nullopt},
      {"12345::1", std::nullopt},
      {"::1%eth0", std::nullopt},
      {":1", std::nullopt},
      {"1.2.3.4::", std::nullopt},
      {"localhost", std::nullopt},
  };
  for (const Case& c : cases) {
    auto ip = parse_ip_address(c.text);
    ASSERT_EQ(ip.has_value(), c.canonical.has_value()) << c.text;
    if (ip) {
      EXPECT_EQ(ip->to_string(), *c.canonical) << c.text;
    }
  }
}

}  // namespace
}  // namespace zv::config
