#include "tervik/block/filter_policy.h"

#include <charconv>
#include <cmath>

namespace tervik {

namespace {

// Shortest round-trip text of a float, with ".0" on whole numbers.
std::string float_text(float v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  float mag = std::fabs(v);
  bool plain = mag == 0.0f || (mag >= 1e-4f && mag < 1e16f);
  auto r = std::to_chars(buf, buf + sizeof(buf), v,
                         plain ? std::chars_format::fixed : std::chars_format::scientific);
  std::string s(buf, r.ptr);
  if (plain) {
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
  }
  // "1e-07" -> "1e-7"
  size_t e = s.find('e');
  size_t digits = s.find_first_not_of("+-0", e + 1);
  std::string sign = s[e + 1] == '-' ? "-" : "";
  return s.substr(0, e + 1) + sign + (digits == std::string::npos ? "0" : s.substr(digits));
}

}  // namespace

std::optional<FilterPolicyEntry> FilterPolicyEntry::from_tag(uint32_t tag, float value) {
  if (tag > static_cast<uint32_t>(FilterPolicyKind::kNone)) return std::nullopt;
  return FilterPolicyEntry{static_cast<FilterPolicyKind>(tag), value};
}

std::string FilterPolicyEntry::debug_string() const {
  switch (kind) {
    case FilterPolicyKind::kBitsPerKey: return "BitsPerKey(" + float_text(value) + ")";
    case FilterPolicyKind::kFalsePositiveRate:
      return "FalsePositiveRate(" + float_text(value) + ")";
    case FilterPolicyKind::kNone: return "None";
  }
  return "None";
}

}  // namespace tervik
