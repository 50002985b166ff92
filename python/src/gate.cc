#include "python/src/gate.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace zv::py {

namespace {

// The calls the current thread is inside, per gate. A thread is inside few
// clients at once, so a short list searched in order serves; entries go when
// their count returns to zero, so no entry outlives its gate's calls.
struct ThreadCalls {
  std::vector<std::pair<const OperationGate*, uint64_t>> entries;

  uint64_t count(const OperationGate* gate) const {
    for (const auto& e : entries) {
      if (e.first == gate) return e.second;
    }
    return 0;
  }
  void add(const OperationGate* gate) {
    for (auto& e : entries) {
      if (e.first == gate) {
        ++e.second;
        return;
      }
    }
    entries.emplace_back(gate, 1);
  }
  void remove(const OperationGate* gate) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [gate](const auto& e) { return e.first == gate; });
    if (it == entries.end()) return;
    if (--it->second == 0) entries.erase(it);
  }
};

ThreadCalls& thread_calls() {
  thread_local ThreadCalls calls;
  return calls;
}

}  // namespace

std::shared_ptr<OperationGate> OperationGate::create() {
  return std::shared_ptr<OperationGate>(new OperationGate());
}

std::unique_ptr<GateGuard> OperationGate::enter() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (closing_) return nullptr;
    ++active_;
  }
  thread_calls().add(this);
  return std::unique_ptr<GateGuard>(new GateGuard(shared_from_this()));
}

void OperationGate::leave() {
  thread_calls().remove(this);
  std::lock_guard<std::mutex> lock(mu_);
  --active_;
  // Every closer re-checks; several may wait at once.
  if (closing_) cv_.notify_all();
}

void OperationGate::begin_close() {
  const uint64_t mine = thread_calls().count(this);
  std::unique_lock<std::mutex> lock(mu_);
  closing_ = true;
  closers_inside_ += mine;
  // A closer that itself is inside calls makes the others' predicate true.
  if (mine > 0) cv_.notify_all();
  cv_.wait(lock, [this] { return active_ == closers_inside_; });
  closers_inside_ -= mine;
}

uint64_t OperationGate::active() const {
  std::lock_guard<std::mutex> lock(mu_);
  return active_;
}

bool OperationGate::closing() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closing_;
}

GateGuard::~GateGuard() { gate_->leave(); }

}  // namespace zv::py
