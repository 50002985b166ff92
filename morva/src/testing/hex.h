// Hex forms of byte strings for tests: readable golden values and failure
// messages. Test-only; pure functions.
#pragma once

#include <string>
#include <string_view>

namespace morva::testing {

// "0a10ff" for the bytes 0A 10 FF.
inline std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

// The bytes of a hex text; spaces are skipped ("02 0a 10").
inline std::string unhex(std::string_view text) {
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    if (high < 0) {
      high = nibble(c);
    } else {
      out.push_back(static_cast<char>(high * 16 + nibble(c)));
      high = -1;
    }
  }
  return out;
}

}  // namespace morva::testing
