// The numeric ids in the names of table and blob files: decimal digits after
// at most one "+", within 64 bits. Shared by the recoveries that list those
// folders. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervik {

// Parses `name` into *id. On failure returns the reason, worded as an
// integer parse words it, and leaves *id alone.
std::optional<std::string> parse_file_id(std::string_view name, uint64_t* id);

}  // namespace tervik
