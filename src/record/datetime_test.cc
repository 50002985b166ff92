#include "src/record/datetime.h"

#include <gtest/gtest.h>

namespace zv {
namespace {

DateTime civil(int64_t y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s,
               uint32_t ns = 0) {
  auto t = DateTime::from_civil(y, mo, d, h, mi, s, ns);
  EXPECT_TRUE(t.has_value()) << y << "-" << mo << "-" << d;
  return t.value_or(DateTime());
}

TEST(DateTimeTest, WritesBothFormsWithTheFractionRule) {
  struct Case {
    DateTime t;
    const char* z;
    const char* offset;
  } cases[] = {
      {civil(2024, 5, 1, 12, 0, 0), "2024-05-01T12:00:00Z", "2024-05-01T12:00:00+00:00"},
      {civil(2024, 5, 1, 12, 0, 0, 250'000'000), "2024-05-01T12:00:00.250Z",
       "2024-05-01T12:00:00.250+00:00"},
      {civil(2024, 5, 1, 12, 0, 0, 1'500), "2024-05-01T12:00:00.000001500Z",
       "2024-05-01T12:00:00.000001500+00:00"},
      {civil(2024, 5, 1, 12, 0, 0, 7'000), "2024-05-01T12:00:00.000007Z",
       "2024-05-01T12:00:00.000007+00:00"},
      {civil(2024, 2, 29, 0, 0, 0), "2024-02-29T00:00:00Z", "2024-02-29T00:00:00+00:00"},
      {DateTime(), "1970-01-01T00:00:00Z", "1970-01-01T00:00:00+00:00"},
      {civil(1969, 12, 31, 23, 59, 59, 999'999'999), "1969-12-31T23:59:59.999999999Z",
       "1969-12-31T23:59:59.999999999+00:00"},
      {civil(0, 1, 1, 0, 0, 0), "0000-01-01T00:00:00Z", "0000-01-01T00:00:00+00:00"},
      {civil(9999, 12, 31, 23, 59, 59), "9999-12-31T23:59:59Z", "9999-12-31T23:59:59+00:00"},
      {civil(10000, 1, 1, 0, 0, 0), "+10000-01-01T00:00:00Z", "+10000-01-01T00:00:00+00:00"},
      {civil(-1, 3, 1, 0, 0, 0), "-0001-03-01T00:00:00Z", "-0001-03-01T00:00:00+00:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_datetime_z(c.t), c.z);
    EXPECT_EQ(format_datetime_offset(c.t), c.offset);
  }
}

TEST(DateTimeTest, ReaderAcceptsEveryFormTheWriterProduces) {
  // Extreme years included: a node holding them must stay readable.
  const DateTime samples[] = {
      DateTime(),
      civil(2024, 5, 1, 12, 0, 0, 250'000'000),
      civil(2024, 5, 1, 12, 0, 0, 1'500),
      civil(0, 1, 1, 0, 0, 0),
      civil(-1, 12, 31, 23, 59, 59, 1),
      civil(10000, 1, 1, 0, 0, 0),
      civil(DateTime::kMaxYear, 12, 31, 23, 59, 59, 999'999'999),
      civil(DateTime::kMinYear, 1, 1, 0, 0, 0),
  };
  for (const DateTime& t : samples) {
    const std::string z = format_datetime_z(t);
    EXPECT_EQ(parse_datetime(z), t) << z;
    const std::string off = format_datetime_offset(t);
    EXPECT_EQ(parse_datetime(off), t) << off;
  }
}

TEST(DateTimeTest, ParsesRfc3339Variants) {
  const DateTime noon = civil(2024, 5, 1, 12, 0, 0);
  struct Case {
    const char* text;
    std::optional<DateTime> want;
  } cases[] = {
      {"2024-05-01T14:00:00+02:00", noon},
      {"2024-05-01T10:30:00-01:30", noon},
      {"2024-05-01 12:00:00Z", noon},
      {"2024-05-01t12:00:00z", noon},
      {"2024-05-01T12:00:00UTC", noon},
      {"2024-05-01T12:00:00uTc", noon},
      {"2024-05-01T12:00:00Z   ", noon},
      {"2024-05-01T12:00:00.25Z", civil(2024, 5, 1, 12, 0, 0, 250'000'000)},
      {"2024-05-01T12:00:00.1234567891Z", civil(2024, 5, 1, 12, 0, 0, 123'456'789)},
      {"2016-12-31T23:59:60Z", civil(2017, 1, 1, 0, 0, 0)},
      {"2024-05-01T00:30:00+01:00", civil(2024, 4, 30, 23, 30, 0)},
      {"2024-05-01T12:00:00Z x", std::nullopt},
      {"2024-05-01T12:00:00", std::nullopt},
      {"2024-05-01T12:00:00.Z", std::nullopt},
      {"2024-05-01X12:00:00Z", std::nullopt},
      {"2023-02-29T12:00:00Z", std::nullopt},
      {"2024-13-01T12:00:00Z", std::nullopt},
      {"2024-05-01T24:00:00Z", std::nullopt},
      {"2024-05-01T12:00:00+24:00", std::nullopt},
      {"24-05-01T12:00:00Z", std::nullopt},
      {"12024-05-01T12:00:00Z", std::nullopt},  // five digits need a sign
      {"+1000000-01-01T00:00:00Z", std::nullopt},  // beyond the year range
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_datetime(c.text), c.want) << c.text;
}

TEST(DateTimeTest, NanosecondCountOverflowIsReported) {
  EXPECT_EQ(civil(2024, 5, 1, 12, 0, 0, 5).unix_nanos(), int64_t{1714564800'000'000'005});
  EXPECT_EQ(civil(1969, 12, 31, 23, 59, 59).unix_nanos(), int64_t{-1'000'000'000});
  EXPECT_EQ(civil(2300, 1, 1, 0, 0, 0).unix_nanos(), std::nullopt);
  EXPECT_EQ(DateTime::from_unix(0, 1'000'000'000), std::nullopt);
}

}  // namespace
}  // namespace zv
