// WorkerPool: the worker channel (bounded, 1,000 messages) and the background
// threads of one database, all named "morva:worker", each holding what it
// needs for its whole life (WorkerThread). The pool runs a given body in every
// thread and catches a panic at the top: the PoisonGuard then marks the
// database poisoned, and the running-worker count is lowered on every exit.
// Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "morva/src/error.h"
#include "morva/src/worker_message.h"
#include "platform/io_error.h"
#include "platform/poison_lock.h"

namespace morva {

inline constexpr const char* kWorkerThreadName = "morva:worker";

// Statistics of the compaction handling; only added to and subtracted from.
struct WorkerBookkeeping {
  std::atomic<uint64_t> compactions_running{0};
  std::atomic<uint64_t> compaction_micros{0};
  std::atomic<uint64_t> compactions_completed{0};
};

// Marks the database poisoned when the worker holding it leaves by a panic.
class PoisonGuard {
 public:
  explicit PoisonGuard(std::shared_ptr<std::atomic<bool>> poisoned)
      : poisoned_(std::move(poisoned)), unwinding_at_start_(std::uncaught_exceptions()) {}
  PoisonGuard(PoisonGuard&&) = default;
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;
  ~PoisonGuard();

 private:
  std::shared_ptr<std::atomic<bool>> poisoned_;
  int unwinding_at_start_;
};

// What one worker thread holds from spawn to exit. The database's worker
// context travels in the body the pool runs.
struct WorkerThread {
  std::shared_ptr<std::atomic<uint64_t>> running;  // already counted for this thread
  WorkerReceiver receiver;
  WorkerSender sender;
  std::shared_ptr<WorkerBookkeeping> bookkeeping;
  size_t thread_count = 0;
  size_t index = 0;  // 0 .. thread_count - 1, in spawn order
  PoisonGuard poison_guard;
};

class WorkerPool {
 public:
  // The loop of one worker; it returns when the worker ends. The pool lowers
  // the running count when it returns or panics.
  using Body = std::function<void(WorkerThread&)>;
  // Starts an operating-system thread running `fn`, or the system's error.
  using ThreadFactory = std::function<zv::IoResult<std::thread>(std::function<void()> fn)>;
  static ThreadFactory os_threads();

  WorkerPool();
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  WorkerSender sender() const { return tx_; }
  WorkerReceiver receiver() const { return rx_; }

  // Spawns `thread_count` workers in order. A thread that cannot be created
  // stops spawning with Io carrying the system's error; the workers already
  // started keep running, and their handles are kept for join().
  MorvaStatus start(size_t thread_count, Body body, std::shared_ptr<std::atomic<uint64_t>> running,
                    std::shared_ptr<WorkerBookkeeping> bookkeeping,
                    std::shared_ptr<std::atomic<bool>> poisoned,
                    ThreadFactory threads = os_threads());

  // Waits for every started worker to end.
  void join();
  size_t thread_count();

 private:
  explicit WorkerPool(std::pair<WorkerSender, WorkerReceiver> ends);

  WorkerReceiver rx_;
  WorkerSender tx_;
  zv::PoisonMutex handles_mutex_;
  std::vector<std::thread> handles_;
};

}  // namespace morva
