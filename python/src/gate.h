// OperationGate: the per-client count of running calls and the `closing` flag
// (never cleared) that lets `close` wait until no call is inside. A call that
// runs Python code while inside the gate (a conversion, a finaliser) can call
// `close` on the same client from that thread; such a closer does not wait for
// its own calls, only for the calls of threads that are not themselves
// waiting in `close`. Free of the Python headers so that its tests run under
// ThreadSanitizer. Thread-safe; the mutex is held only inside the three
// operations.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace zv::py {

class GateGuard;

class OperationGate : public std::enable_shared_from_this<OperationGate> {
 public:
  static std::shared_ptr<OperationGate> create();

  OperationGate(const OperationGate&) = delete;
  OperationGate& operator=(const OperationGate&) = delete;

  // A guard counting one running call, or none once closing has begun.
  std::unique_ptr<GateGuard> enter();

  // Sets `closing` and waits, without a time limit, until every running call
  // belongs to a thread that is itself waiting here (the calling thread's own
  // calls included). Returns with the mutex released.
  void begin_close();

  // Snapshot for tests and diagnostics.
  uint64_t active() const;
  bool closing() const;

 private:
  friend class GateGuard;
  OperationGate() = default;
  void leave();

  mutable std::mutex mu_;
  std::condition_variable cv_;
  uint64_t active_ = 0;          // guarded by mu_
  uint64_t closers_inside_ = 0;  // calls held by threads waiting in begin_close
  bool closing_ = false;         // guarded by mu_; never cleared
};

// One entered call: leaves the gate exactly once, when destroyed, on every
// path out of the call (errors and panics included). Holds a reference to the
// gate so the gate outlives the call.
class GateGuard {
 public:
  ~GateGuard();
  GateGuard(const GateGuard&) = delete;
  GateGuard& operator=(const GateGuard&) = delete;

 private:
  friend class OperationGate;
  explicit GateGuard(std::shared_ptr<OperationGate> gate) : gate_(std::move(gate)) {}
  std::shared_ptr<OperationGate> gate_;
};

}  // namespace zv::py
