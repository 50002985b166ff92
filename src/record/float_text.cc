#include "src/record/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace zv {
namespace {

// The shortest digits that read back as v, and the decimal exponent of the
// first digit: v = 0.d1d2d3... * 10^(exp + 1).
struct Digits {
  bool negative;
  std::string digits;
  int exp;
};

template <class F>
Digits shortest(F v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view s(buf, static_cast<size_t>(res.ptr - buf));
  Digits d{false, {}, 0};
  size_t i = 0;
  if (s[i] == '-') {
    d.negative = true;
    ++i;
  }
  for (; i < s.size() && s[i] != 'e'; ++i) {
    if (s[i] != '.') d.digits.push_back(s[i]);
  }
  d.exp = std::atoi(std::string(s.substr(i + 1)).c_str());
  return d;
}

std::string special(double v) {
  if (std::isnan(v)) return "NaN";
  return v < 0 ? "-inf" : "inf";
}

// Fixed notation; `force_fraction` appends ".0" to integral values.
std::string fixed(const Digits& d, bool force_fraction) {
  std::string out = d.negative ? "-" : "";
  const int n = static_cast<int>(d.digits.size());
  if (d.exp >= n - 1) {
    out += d.digits;
    out.append(static_cast<size_t>(d.exp - (n - 1)), '0');
    if (force_fraction) out += ".0";
  } else if (d.exp >= 0) {
    out.append(d.digits, 0, static_cast<size_t>(d.exp + 1));
    out += '.';
    out.append(d.digits, static_cast<size_t>(d.exp + 1));
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-d.exp - 1), '0');
    out += d.digits;
  }
  return out;
}

template <class F>
std::string display_of(F v) {
  if (!std::isfinite(v)) return special(v);
  return fixed(shortest(v), false);
}

template <class F>
std::string debug_of(F v) {
  if (!std::isfinite(v)) return special(v);
  const Digits d = shortest(v);
  // Both bounds in the value's own width: 0.0001f lies just below the double
  // 1e-4 yet reads as 0.0001, so it shows as 0.0001.
  const F a = std::fabs(v);
  if (a == F(0) || (a >= static_cast<F>(1e-4) && a < static_cast<F>(1e16))) return fixed(d, true);
  std::string out = d.negative ? "-" : "";
  out += d.digits[0];
  if (d.digits.size() > 1) {
    out += '.';
    out.append(d.digits, 1);
  }
  out += 'e';
  out += std::to_string(d.exp);
  return out;
}

}  // namespace

std::string float_display(double v) { return display_of(v); }
std::string float_debug(double v) { return debug_of(v); }
std::string float_display_f32(float v) { return display_of(v); }
std::string float_debug_f32(float v) { return debug_of(v); }

}  // namespace zv
