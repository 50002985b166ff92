#include "src/storage/path_check.h"

#include <string>

namespace zv {

namespace {

constexpr std::string_view kVerbatimPrefix = "\\\\?\\";

bool has_parent_component(std::string_view rest, bool slash_separates) {
  size_t start = 0;
  for (size_t i = 0; i <= rest.size(); ++i) {
    const bool sep =
        i == rest.size() || rest[i] == '\\' || (slash_separates && rest[i] == '/');
    if (!sep) continue;
    if (rest.substr(start, i - start) == "..") return true;
    start = i + 1;
  }
  return false;
}

}  // namespace

ZolvaStatus validate_storage_path(std::string_view path) {
  const bool verbatim = path.substr(0, kVerbatimPrefix.size()) == kVerbatimPrefix;
  const std::string_view rest = verbatim ? path.substr(kVerbatimPrefix.size()) : path;
  if (has_parent_component(rest, !verbatim)) {
    return make_unexpected(ZolvaError::validation(
        "path", "Path '" + std::string(path) +
                    "' contains '..' traversal \xE2\x80\x94 rejected for security"));
  }
  return {};
}

}  // namespace zv
