#include "platform/backtrace.h"

#include <execinfo.h>

#include <cstdio>
#include <cstdlib>

#include "platform/env.h"

namespace zv {

namespace {

constexpr int kMaxFrames = 64;
// Frames of the capture machinery itself, left out of the result.
constexpr int kSkipFrames = 2;

}  // namespace

bool Backtrace::enabled() {
  static const bool on = enabled_by(get_env_text(kBacktraceEnvVar));
  return on;
}

std::shared_ptr<const Backtrace> Backtrace::capture_if_enabled() {
  if (!enabled()) return nullptr;
  return capture();
}

std::shared_ptr<const Backtrace> Backtrace::capture() {
  void* frames[kMaxFrames];
  int n = ::backtrace(frames, kMaxFrames);
  if (n <= 0) return nullptr;
  auto bt = std::make_shared<Backtrace>();
  int first = n > kSkipFrames ? kSkipFrames : 0;
  bt->frames_.assign(frames + first, frames + n);
  return bt;
}

std::string Backtrace::to_string() const {
  std::string out;
  if (frames_.empty()) return out;
  char** symbols = ::backtrace_symbols(frames_.data(), static_cast<int>(frames_.size()));
  for (size_t i = 0; i < frames_.size(); ++i) {
    out += std::to_string(i);
    out += ": ";
    if (symbols != nullptr) {
      out += symbols[i];
    } else {
      char buf[32];
      snprintf(buf, sizeof(buf), "%p", frames_[i]);
      out += buf;
    }
    out += '\n';
  }
  free(symbols);  // one block allocated by backtrace_symbols
  return out;
}

}  // namespace zv
