#include "tervik/core/utf8.h"

#include "platform/utf8.h"

namespace tervik {

std::string Utf8Error::debug_string() const {
  std::string out = "Utf8Error { valid_up_to: " + std::to_string(valid_up_to) + ", error_len: ";
  out += error_len ? "Some(" + std::to_string(*error_len) + ")" : std::string("None");
  out += " }";
  return out;
}

std::optional<Utf8Error> validate_utf8(std::string_view text) {
  auto fault = zv::find_utf8_fault(text);
  if (!fault) return std::nullopt;
  return Utf8Error{fault->valid_up_to, fault->error_len};
}

}  // namespace tervik
