// Text forms of a 64- or 32-bit float built from its shortest round-trip digits: the
// plain decimal form of value statistics ("1", "0.1", "-0") and the debug form
// of metadata values ("1.0", "1e16", "1.5e-5"). Pure functions.
#pragma once

#include <string>

namespace zv {

// Full decimal without exponent; no fractional part for integral values;
// "NaN", "inf", "-inf".
std::string float_display(double v);
// Decimal with a fractional part when 1e-4 <= |v| < 1e16 or v is zero, else
// exponent form with a lower-case "e" and no "+"; "NaN", "inf", "-inf".
std::string float_debug(double v);

// The same two forms from the shortest digits that read back as the same
// 32-bit float ("0.1" for 0.1f, not its widened double's digits).
std::string float_display_f32(float v);
std::string float_debug_f32(float v);

}  // namespace zv
