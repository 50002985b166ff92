#include "src/record/datetime.h"

#include <cstdio>

namespace zv {
namespace {

constexpr int64_t kSecondsPerDay = 86'400;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's method).
constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146'097 + doe - 719'468;
}

void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719'468;
  const int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
  const int64_t doe = z - era * 146'097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

constexpr int64_t kMinSeconds = days_from_civil(DateTime::kMinYear, 1, 1) * kSecondsPerDay;
constexpr int64_t kMaxSeconds =
    days_from_civil(DateTime::kMaxYear, 12, 31) * kSecondsPerDay + kSecondsPerDay - 1;

void append_year(int64_t year, std::string* out) {
  char buf[24];
  int n;
  if (year >= 0 && year <= 9999) {
    n = std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(year));
  } else {
    // Sign included, at least five characters: "-0001", "+10000".
    n = std::snprintf(buf, sizeof buf, "%+05lld", static_cast<long long>(year));
  }
  out->append(buf, static_cast<size_t>(n));
}

void append_fraction(uint32_t nanos, std::string* out) {
  if (nanos == 0) return;
  char buf[16];
  int n;
  if (nanos % 1'000'000 == 0) {
    n = std::snprintf(buf, sizeof buf, ".%03u", nanos / 1'000'000);
  } else if (nanos % 1'000 == 0) {
    n = std::snprintf(buf, sizeof buf, ".%06u", nanos / 1'000);
  } else {
    n = std::snprintf(buf, sizeof buf, ".%09u", nanos);
  }
  out->append(buf, static_cast<size_t>(n));
}

size_t append_form(const DateTime& t, std::string_view suffix, std::string* out) {
  const size_t start = out->size();
  const DateTime::Civil c = t.civil();
  append_year(c.year, out);
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "-%02u-%02uT%02u:%02u:%02u", c.month, c.day,
                        c.hour, c.minute, c.second);
  out->append(buf, static_cast<size_t>(n));
  append_fraction(c.nanos, out);
  out->append(suffix);
  return out->size() - start;
}

// A cursor over the text being parsed.
struct Cursor {
  std::string_view s;
  size_t pos = 0;
  bool at_end() const { return pos >= s.size(); }
  char peek() const { return at_end() ? '\0' : s[pos]; }
  bool take(char c) {
    if (peek() != c || at_end()) return false;
    ++pos;
    return true;
  }
  // Exactly `count` decimal digits.
  bool digits(size_t count, unsigned* out) {
    unsigned v = 0;
    for (size_t i = 0; i < count; ++i) {
      const char c = peek();
      if (at_end() || c < '0' || c > '9') return false;
      v = v * 10 + static_cast<unsigned>(c - '0');
      ++pos;
    }
    *out = v;
    return true;
  }
};

bool ascii_ieq(char a, char lower) { return a == lower || a == lower - 'a' + 'A'; }

bool parse_year(Cursor* c, int64_t* year) {
  const char first = c->peek();
  int64_t sign = 1;
  const bool signed_form = first == '+' || first == '-';
  if (signed_form) {
    sign = first == '-' ? -1 : 1;
    ++c->pos;
  }
  int64_t v = 0;
  size_t n = 0;
  while (!c->at_end() && c->peek() >= '0' && c->peek() <= '9') {
    if (n == 9) return false;  // far beyond the representable years
    v = v * 10 + (c->peek() - '0');
    ++c->pos;
    ++n;
  }
  if (signed_form ? n < 4 : n != 4) return false;
  *year = sign * v;
  return true;
}

}  // namespace

std::optional<DateTime> DateTime::from_unix(int64_t seconds, uint32_t nanos) {
  if (nanos >= kNanosPerSecond || seconds < kMinSeconds || seconds > kMaxSeconds)
    return std::nullopt;
  return DateTime(seconds, nanos);
}

std::optional<DateTime> DateTime::from_civil(int64_t year, unsigned month, unsigned day,
                                             unsigned hour, unsigned minute,
                                             unsigned second, uint32_t nanos) {
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 ||
      day > days_in_month(year, month) || hour > 23 || minute > 59 || second > 59 ||
      nanos >= kNanosPerSecond)
    return std::nullopt;
  const int64_t secs = days_from_civil(year, month, day) * kSecondsPerDay +
                       int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
  return DateTime(secs, nanos);
}

std::optional<int64_t> DateTime::unix_nanos() const {
  int64_t scaled;
  int64_t total;
  if (__builtin_mul_overflow(seconds_, int64_t{kNanosPerSecond}, &scaled) ||
      __builtin_add_overflow(scaled, int64_t{nanos_}, &total))
    return std::nullopt;
  return total;
}

DateTime::Civil DateTime::civil() const {
  int64_t days = seconds_ / kSecondsPerDay;
  int64_t rem = seconds_ % kSecondsPerDay;
  if (rem < 0) {
    rem += kSecondsPerDay;
    --days;
  }
  Civil c{};
  civil_from_days(days, &c.year, &c.month, &c.day);
  c.hour = static_cast<unsigned>(rem / 3600);
  c.minute = static_cast<unsigned>(rem / 60 % 60);
  c.second = static_cast<unsigned>(rem % 60);
  c.nanos = nanos_;
  return c;
}

size_t append_datetime_z(const DateTime& t, std::string* out) {
  return append_form(t, "Z", out);
}

std::string format_datetime_z(const DateTime& t) {
  std::string s;
  append_form(t, "Z", &s);
  return s;
}

std::string format_datetime_offset(const DateTime& t) {
  std::string s;
  append_form(t, "+00:00", &s);
  return s;
}

std::optional<DateTime> parse_datetime(std::string_view text) {
  Cursor c{text};
  int64_t year;
  unsigned month, day, hour, minute, second;
  if (!parse_year(&c, &year) || !c.take('-') || !c.digits(2, &month) || !c.take('-') ||
      !c.digits(2, &day))
    return std::nullopt;
  if (!(c.take('T') || c.take('t') || c.take(' '))) return std::nullopt;
  if (!c.digits(2, &hour) || !c.take(':') || !c.digits(2, &minute) || !c.take(':') ||
      !c.digits(2, &second))
    return std::nullopt;
  uint32_t nanos = 0;
  if (c.take('.')) {
    size_t n = 0;
    while (!c.at_end() && c.peek() >= '0' && c.peek() <= '9') {
      // Digits beyond the ninth are below the resolution and dropped.
      if (n < 9) nanos = nanos * 10 + static_cast<uint32_t>(c.peek() - '0');
      ++c.pos;
      ++n;
    }
    if (n == 0) return std::nullopt;
    for (; n < 9; ++n) nanos *= 10;
  }
  int64_t offset_seconds = 0;
  if (c.take('Z') || c.take('z')) {
  } else if (c.pos + 3 <= text.size() && ascii_ieq(text[c.pos], 'u') &&
             ascii_ieq(text[c.pos + 1], 't') && ascii_ieq(text[c.pos + 2], 'c')) {
    c.pos += 3;
  } else if (c.peek() == '+' || c.peek() == '-') {
    const int64_t sign = c.peek() == '-' ? -1 : 1;
    ++c.pos;
    unsigned oh, om;
    if (!c.digits(2, &oh) || !c.take(':') || !c.digits(2, &om) || oh > 23 || om > 59)
      return std::nullopt;
    offset_seconds = sign * (int64_t{oh} * 3600 + int64_t{om} * 60);
  } else {
    return std::nullopt;
  }
  while (c.take(' ')) {
  }
  if (!c.at_end()) return std::nullopt;
  // A leap second reads as the first second of the next minute.
  const bool leap = second == 60;
  auto base = DateTime::from_civil(year, month, day, hour, minute, leap ? 59 : second, 0);
  if (!base) return std::nullopt;
  const int64_t secs = base->unix_seconds() + (leap ? 1 : 0) - offset_seconds;
  return DateTime::from_unix(secs, nanos);
}

}  // namespace zv
