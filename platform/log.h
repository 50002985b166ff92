// The one diagnostics facade: structured events with named fields, emitted
// under a target named after the emitting module ("morva::journal::writer").
// No sink is installed by default and nothing is recorded until one is added
// (tests add one to observe warnings). Thread-safe; the no-sink path is one
// relaxed atomic load.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zv::log {

enum class Level { kTrace = 0, kDebug = 1, kInfo = 2, kWarn = 3, kError = 4 };

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Event {
  Level level;
  std::string target;
  std::string message;
  Fields fields;
  // Names of the spans open on the emitting thread, outermost first.
  std::vector<std::string> spans;
};

using Sink = std::function<void(const Event&)>;

// Adds a sink; returns an id for remove_sink. Events at or above min_level go
// to it.
int add_sink(Sink sink, Level min_level = Level::kTrace);
void remove_sink(int id);

// True when some sink would record an event of this level.
bool enabled(Level level);

void emit(Level level, std::string_view target, std::string_view message,
          Fields fields);

// An open span on this thread: named after an operation, with its parameters
// as fields. Spans nest; events emitted inside carry the span names.
class Span {
 public:
  Span(std::string name, Fields fields = {});
  ~Span();
  Span(const Span&) = delete;
  Span& operator=(const Span&) = delete;

 private:
  bool active_;
};

// Records every event while alive; for tests.
class CaptureSink {
 public:
  explicit CaptureSink(Level min_level = Level::kTrace);
  ~CaptureSink();
  CaptureSink(const CaptureSink&) = delete;
  CaptureSink& operator=(const CaptureSink&) = delete;
  std::vector<Event> events() const;
  bool contains(std::string_view message_part) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  int id_;
};

}  // namespace zv::log

#define ZV_LOG(level, target, message, ...)                          \
  do {                                                               \
    if (::zv::log::enabled(level))                                   \
      ::zv::log::emit(level, target, message, ::zv::log::Fields{__VA_ARGS__}); \
  } while (0)
#define ZV_WARN(target, message, ...) ZV_LOG(::zv::log::Level::kWarn, target, message, __VA_ARGS__)
#define ZV_ERROR(target, message, ...) ZV_LOG(::zv::log::Level::kError, target, message, __VA_ARGS__)
