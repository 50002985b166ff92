// UTF-8 validation shared by every component: where the first bad sequence
// starts and how long it is, or just whether the bytes are valid. Plain ASCII
// is checked eight bytes at a time. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zv {

// The first invalid sequence: the length of the valid prefix before it and
// the length of the bad sequence (none when the input ended inside one).
struct Utf8Fault {
  size_t valid_up_to = 0;
  std::optional<uint8_t> error_len;

  bool operator==(const Utf8Fault&) const = default;
};

// None when the bytes are valid UTF-8 (no overlong forms, no surrogates,
// nothing past U+10FFFF).
std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes);

inline bool is_valid_utf8(std::string_view bytes) { return !find_utf8_fault(bytes); }

}  // namespace zv
