#include "tervik/core/file_id.h"

namespace tervik {

std::optional<std::string> parse_file_id(std::string_view name, uint64_t* id) {
  if (!name.empty() && name.front() == '+') name.remove_prefix(1);
  if (name.empty()) return "cannot parse integer from empty string";
  uint64_t v = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return "invalid digit found in string";
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return "number too large to fit in target type";
    v = v * 10 + d;
  }
  *id = v;
  return std::nullopt;
}

}  // namespace tervik
