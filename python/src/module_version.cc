#include <cstdint>

#include "platform/env.h"
#include "platform/unicode_space.h"
#include "python/src/module.h"

namespace zv::py {

std::string module_version() {
  EnvValue v = get_env(kReportedVersionEnv);
  if (!v.is_text()) return kDefaultVersion;
  std::string_view stripped = trim_unicode_white_space(v.text);
  if (stripped.empty()) return kDefaultVersion;
  return std::string(stripped);
}

}  // namespace zv::py
