// Shared by the fuzz targets that build version files from their input:
// cutting the input into parts at a separator byte, and the table ids a
// version file names. Test-only; stateless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tervik/version/version_file.h"

namespace tervik::testing {

// Splits `in` at the byte 0xFE into at most `n` parts (missing ones empty).
inline std::vector<std::string> split_fuzz_input(std::string_view in, size_t n) {
  std::vector<std::string> parts(n);
  size_t i = 0;
  for (char c : in) {
    if (static_cast<uint8_t>(c) == 0xFE && i + 1 < n) {
      ++i;
    } else {
      parts[i].push_back(c);
    }
  }
  return parts;
}

// The table ids the version file at `path` (version `id`) names; none when
// it does not decode.
inline std::vector<uint64_t> listed_table_ids(const std::string& path, uint64_t id) {
  std::vector<uint64_t> listed;
  if (auto contents = read_version_file(path, id); contents.ok()) {
    for (const auto& level : contents->levels) {
      for (const auto& run : level) {
        for (const auto& t : run) listed.push_back(t.id);
      }
    }
  }
  return listed;
}

}  // namespace tervik::testing
