// A UTC date and time with nanosecond resolution, the payload of metadata
// date-time values, with its text forms: the "Z" form that encodings and debug
// text write, the "+00:00" form of value statistics, and an RFC 3339 reader
// that accepts every form the writers produce. Plain value; thread-safe.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zv {

class DateTime {
 public:
  // Years a value may hold. Years outside 0..9999 are written with a sign.
  static constexpr int64_t kMinYear = -999'999;
  static constexpr int64_t kMaxYear = 999'999;
  static constexpr uint32_t kNanosPerSecond = 1'000'000'000;

  // The Unix epoch.
  DateTime() = default;

  // Seconds since the epoch plus a sub-second part; none when nanos is not
  // below one second or the year falls outside kMinYear..kMaxYear.
  static std::optional<DateTime> from_unix(int64_t seconds, uint32_t nanos);
  // A calendar date and time of day in UTC; none when any part is out of
  // range (second 60 is refused; the reader handles leap seconds itself).
  static std::optional<DateTime> from_civil(int64_t year, unsigned month,
                                            unsigned day, unsigned hour,
                                            unsigned minute, unsigned second,
                                            uint32_t nanos);

  int64_t unix_seconds() const { return seconds_; }
  uint32_t subsec_nanos() const { return nanos_; }
  // Nanoseconds since the epoch, or none when the count overflows 64 bits.
  std::optional<int64_t> unix_nanos() const;

  struct Civil {
    int64_t year;
    unsigned month, day, hour, minute, second;
    uint32_t nanos;
  };
  Civil civil() const;

  friend bool operator==(const DateTime&, const DateTime&) = default;
  friend auto operator<=>(const DateTime&, const DateTime&) = default;

 private:
  DateTime(int64_t s, uint32_t n) : seconds_(s), nanos_(n) {}
  int64_t seconds_ = 0;
  uint32_t nanos_ = 0;
};

// "2024-05-01T12:00:00.250Z": fraction of 3, 6 or 9 digits (none when zero);
// years outside 0..9999 signed and padded to four digits ("+10000", "-0001").
std::string format_datetime_z(const DateTime& t);
// The same with the offset "+00:00" instead of "Z".
std::string format_datetime_offset(const DateTime& t);
// Appends the "Z" form to `out`; returns the number of bytes appended.
size_t append_datetime_z(const DateTime& t, std::string* out);

// Reads an RFC 3339 date-time: date (four-digit year, or a signed year of four
// or more digits), "T", "t" or a blank, hh:mm:ss with an optional fraction,
// then "Z"/"z", "UTC" in any case, or a signed hh:mm offset; trailing blanks
// are allowed, anything else is refused. The result is in UTC.
std::optional<DateTime> parse_datetime(std::string_view text);

}  // namespace zv
