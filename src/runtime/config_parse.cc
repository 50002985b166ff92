#include "src/runtime/config_parse.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/debug_quote.h"
#include "platform/unicode_space.h"

namespace zv::config {

namespace {

constexpr std::string_view kExpectedNumber =
    "invalid memory limit {}: expected a number with optional KB/MB/GB suffix";
constexpr std::string_view kUnknownSuffix =
    "invalid memory limit {}: unknown suffix {} — expected KB, MB, GB (or KiB, MiB, GiB)";
constexpr std::string_view kOverflow = "memory limit {} overflows u64";
constexpr std::string_view kEmptyLimit = "empty memory limit";

// Start of the character that ends at byte `end` (exclusive).
size_t char_start_before(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && end - i < 4 && (static_cast<uint8_t>(s[i]) & 0xC0) == 0x80) --i;
  return i;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool ends_with_ci(std::string_view s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  std::string_view tail = s.substr(s.size() - suffix.size());
  for (size_t i = 0; i < tail.size(); ++i)
    if (ascii_lower(tail[i]) != suffix[i]) return false;
  return true;
}

}  // namespace

std::string_view trim(std::string_view text) { return trim_unicode_white_space(text); }

std::string quote(std::string_view text) { return debug_quote(text); }

Result<uint64_t, std::string> parse_unsigned(std::string_view text, uint64_t max) {
  if (text.empty()) return make_unexpected(std::string("cannot parse a number from an empty value"));
  std::string_view digits = text[0] == '+' ? text.substr(1) : text;
  if (digits.empty()) return make_unexpected(std::string("no digits after the sign"));
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return make_unexpected(std::string("invalid digit found"));
    auto d = static_cast<uint64_t>(c - '0');
    if (v > (max - d) / 10) return make_unexpected("number larger than " + std::to_string(max));
    v = v * 10 + d;
  }
  return v;
}

Result<uint64_t, std::string> parse_memory_limit(std::string_view raw) {
  std::string_view text = trim(raw);
  if (text.empty()) return make_unexpected(std::string(kEmptyLimit));

  size_t suffix_at = text.size();
  if (text.size() >= 2) {
    size_t last = char_start_before(text, text.size());
    if (last > 0) {
      size_t prev = char_start_before(text, last);
      if (last - prev == 1 && std::string_view("GKMTgkmt").find(text[prev]) != std::string_view::npos)
        suffix_at = prev;
    }
  }
  if (suffix_at == text.size()) {
    for (std::string_view s : {"kib", "mib", "gib", "tib"})
      if (ends_with_ci(text, s)) suffix_at = text.size() - 3;
  }
  std::string_view suffix = text.substr(suffix_at);
  std::string_view number = trim(text.substr(0, suffix_at));

  auto n = parse_unsigned(number, std::numeric_limits<uint64_t>::max());
  if (!n.ok()) return make_unexpected(fill(kExpectedNumber, {quote(text)}));

  uint64_t multiplier = 0;
  std::string s = ascii_lower(suffix);
  if (s.empty()) multiplier = 1;
  else if (s == "kb" || s == "kib") multiplier = uint64_t{1} << 10;
  else if (s == "mb" || s == "mib") multiplier = uint64_t{1} << 20;
  else if (s == "gb" || s == "gib") multiplier = uint64_t{1} << 30;
  else if (s == "tb" || s == "tib") multiplier = uint64_t{1} << 40;
  else return make_unexpected(fill(kUnknownSuffix, {quote(text), quote(suffix)}));

  uint64_t bytes = 0;
  if (__builtin_mul_overflow(*n, multiplier, &bytes)) return make_unexpected(fill(kOverflow, {quote(text)}));
  return bytes;
}

std::optional<PrefetchMode> parse_prefetch_mode(std::string_view text) {
  // ASCII lower-casing matches exactly the words full Unicode lower-casing
  // would: no non-ASCII character lower-cases into the letters used here.
  std::string w = ascii_lower(trim(text));
  if (w == "1" || w == "on" || w == "true" || w == "enabled") return PrefetchMode::kEnabled;
  if (w == "0" || w == "off" || w == "false" || w == "disabled") return PrefetchMode::kDisabled;
  if (w == "auto") return PrefetchMode::kAuto;
  return std::nullopt;
}

Result<float, std::string> parse_f32(std::string_view text) {
  if (text.empty()) return make_unexpected(std::string("cannot parse a float from an empty value"));
  std::string_view body = text;
  if (body[0] == '+') body.remove_prefix(1);
  if (body.empty() || body[0] == '+' || body.find('(') != std::string_view::npos)
    return make_unexpected(std::string("invalid float literal"));
  const char* first = body.data();
  const char* last = body.data() + body.size();
  float f = 0;
  auto [end, ec] = std::from_chars(first, last, f);
  if (ec == std::errc() && end == last) return f;
  if (ec == std::errc::result_out_of_range && end == last) {
    // Beyond float range: round as a wider parse would, to infinity or zero.
    double d = 0;
    auto [dend, dec] = std::from_chars(first, last, d);
    if (dec == std::errc() && dend == last) return static_cast<float>(d);
    bool negative = body[0] == '-';
    size_t e = body.find_first_of("eE");
    bool tiny = e != std::string_view::npos && e + 1 < body.size() && body[e + 1] == '-';
    float mag = tiny ? 0.0f : std::numeric_limits<float>::infinity();
    return negative ? -mag : mag;
  }
  return make_unexpected(std::string("invalid float literal"));
}

}  // namespace zv::config
