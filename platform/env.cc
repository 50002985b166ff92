#include "platform/env.h"

#include <cstdlib>

namespace zv {

EnvValue get_env(const char* name) {
  const char* v = std::getenv(name);
  EnvValue out;
  if (v == nullptr) return out;
  std::string_view sv(v);
  if (!is_valid_utf8(sv)) {
    out.state = EnvValue::State::kNotUnicode;
    return out;
  }
  out.state = EnvValue::State::kText;
  out.text = std::string(sv);
  return out;
}

std::optional<std::string> get_env_text(const char* name) {
  EnvValue v = get_env(name);
  if (!v.is_text()) return std::nullopt;
  return std::move(v.text);
}

}  // namespace zv
