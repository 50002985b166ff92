// Stack backtraces for diagnostics: errors of the core capture one where they
// are made when the process switched capture on (ZIVIROR_BACKTRACE=1). The
// captured value is immutable and safe to share between threads.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zv {

// Environment variable that switches backtrace capture on for the process.
inline constexpr const char* kBacktraceEnvVar = "ZIVIROR_BACKTRACE";

class Backtrace {
 public:
  // Captures the current stack when capture is enabled for the process;
  // returns null when it is off, unsupported or failed.
  static std::shared_ptr<const Backtrace> capture_if_enabled();
  // Captures unconditionally; null when the OS gives nothing.
  static std::shared_ptr<const Backtrace> capture();

  // Whether capture is on: read once from the environment, then fixed.
  static bool enabled();
  // The rule applied to the variable's text: on only for exactly "1".
  static bool enabled_by(const std::optional<std::string>& value) {
    return value.has_value() && *value == "1";
  }

  // One frame a line, resolved to symbols where the OS can.
  std::string to_string() const;
  size_t frame_count() const { return frames_.size(); }

 private:
  std::vector<void*> frames_;
};

}  // namespace zv
