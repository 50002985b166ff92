// Reading the process environment. A value is absent, present but not valid
// UTF-8, or text; callers that treat the second case specially (warnings that
// name it) can tell it apart. Thread-safe as long as nobody calls setenv
// concurrently.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/utf8.h"

namespace zv {

struct EnvValue {
  enum class State { kAbsent, kNotUnicode, kText };
  State state = State::kAbsent;
  std::string text;  // the value when state is kText

  bool is_text() const { return state == State::kText; }
};

EnvValue get_env(const char* name);

// The text of a variable, or nullopt when absent or not valid UTF-8.
std::optional<std::string> get_env_text(const char* name);


}  // namespace zv
