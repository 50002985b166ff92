#include <cstdint>

#include "platform/env.h"
#include "platform/unicode_space.h"
#include "python/src/module.h"

namespace zv::py {

std::string_view strip_unicode_whitespace(std::string_view text) {
  return trim_unicode_white_space(text);
}

std::string module_version() {
  EnvValue v = get_env(kReportedVersionEnv);
  if (!v.is_text()) return kDefaultVersion;
  std::string_view stripped = strip_unicode_whitespace(v.text);
  if (stripped.empty()) return kDefaultVersion;
  return std::string(stripped);
}

}  // namespace zv::py
