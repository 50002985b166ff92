#include "platform/log.h"

#include <algorithm>
#include <memory>
#include <mutex>

namespace zv::log {

namespace {

struct SinkEntry {
  int id;
  Level min_level;
  Sink sink;
};

// The process-wide sink registry of the facade.
struct Registry {
  std::mutex mu;  // protects sinks and next_id
  std::vector<SinkEntry> sinks;
  int next_id = 1;
  // Lowest level any sink records; kError + 1 when there is no sink.
  std::atomic<int> min_enabled{static_cast<int>(Level::kError) + 1};
};

Registry& registry() {
  // Never destroyed: events may be emitted from static destructors.
  static Registry* r = new Registry();  // NOLINT
  return *r;
}

void recompute_locked(Registry& r) {
  int m = static_cast<int>(Level::kError) + 1;
  for (const auto& s : r.sinks) m = std::min(m, static_cast<int>(s.min_level));
  r.min_enabled.store(m, std::memory_order_relaxed);
}

thread_local std::vector<std::string> t_spans;

}  // namespace

int add_sink(Sink sink, Level min_level) {
  Registry& r = registry();
  std::scoped_lock lock(r.mu);
  int id = r.next_id++;
  r.sinks.push_back({id, min_level, std::move(sink)});
  recompute_locked(r);
  return id;
}

void remove_sink(int id) {
  Registry& r = registry();
  std::scoped_lock lock(r.mu);
  r.sinks.erase(std::remove_if(r.sinks.begin(), r.sinks.end(),
                               [id](const SinkEntry& s) { return s.id == id; }),
                r.sinks.end());
  recompute_locked(r);
}

bool enabled(Level level) {
  return static_cast<int>(level) >=
         registry().min_enabled.load(std::memory_order_relaxed);
}

void emit(Level level, std::string_view target, std::string_view message,
          Fields fields) {
  if (!enabled(level)) return;
  Event ev{level, std::string(target), std::string(message), std::move(fields),
           t_spans};
  Registry& r = registry();
  std::vector<Sink> to_call;
  {
    std::scoped_lock lock(r.mu);
    for (const auto& s : r.sinks)
      if (static_cast<int>(level) >= static_cast<int>(s.min_level))
        to_call.push_back(s.sink);
  }
  for (auto& s : to_call) s(ev);
}

Span::Span(std::string name, Fields fields) : active_(enabled(Level::kTrace)) {
  if (!active_) return;
  t_spans.push_back(name);
  emit(Level::kTrace, "span", "enter " + name, std::move(fields));
}

Span::~Span() {
  if (!active_) return;
  std::string name = t_spans.empty() ? std::string() : t_spans.back();
  emit(Level::kTrace, "span", "exit " + name, {});
  if (!t_spans.empty()) t_spans.pop_back();
}

struct CaptureSink::State {
  mutable std::mutex mu;  // protects events
  std::vector<Event> events;
};

CaptureSink::CaptureSink(Level min_level) : state_(std::make_shared<State>()) {
  std::shared_ptr<State> st = state_;
  id_ = add_sink(
      [st](const Event& e) {
        std::scoped_lock lock(st->mu);
        st->events.push_back(e);
      },
      min_level);
}

CaptureSink::~CaptureSink() {
  remove_sink(id_);
}

std::vector<Event> CaptureSink::events() const {
  std::scoped_lock lock(state_->mu);
  return state_->events;
}

bool CaptureSink::contains(std::string_view part) const {
  std::scoped_lock lock(state_->mu);
  for (const auto& e : state_->events)
    if (e.message.find(part) != std::string::npos) return true;
  return false;
}

}  // namespace zv::log
