// The check that refuses a database path climbing out of its place through a
// ".." component. Runs before anything touches the directory (open, and the
// export and import paths). Pure function; thread-safe.
#pragma once

#include <string_view>

#include "src/foundation/error.h"

namespace zv {

// Fails with Validation on "path" when any component of the path is exactly
// "..". Slash and backslash both separate components, except after a
// verbatim prefix (\\?\), where only the backslash does.
ZolvaStatus validate_storage_path(std::string_view path);

}  // namespace zv
