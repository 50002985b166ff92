// Validation of stored text as UTF-8, and the error it reports (the length of
// the valid prefix and the length of the bad sequence, none when the input
// ended inside a sequence). Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervik {

struct Utf8Error {
  size_t valid_up_to = 0;
  std::optional<uint8_t> error_len;  // none: the input ended inside a sequence

  bool operator==(const Utf8Error&) const = default;
  // "Utf8Error { valid_up_to: 3, error_len: Some(1) }"
  std::string debug_string() const;
};

// None when `text` is valid UTF-8.
std::optional<Utf8Error> validate_utf8(std::string_view text);

}  // namespace tervik
