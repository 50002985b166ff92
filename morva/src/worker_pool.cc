#include "morva/src/worker_pool.h"

#include <system_error>

#include "morva/src/lock.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "platform/thread_name.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::worker";

}  // namespace

PoisonGuard::~PoisonGuard() {
  if (poisoned_ && std::uncaught_exceptions() > unwinding_at_start_) {
    ZV_ERROR(kLogTarget, "Poisoning database because of panic in background worker");
    poisoned_->store(true);
  }
}

WorkerPool::ThreadFactory WorkerPool::os_threads() {
  return [](std::function<void()> fn) -> zv::IoResult<std::thread> {
    // Thread creation reports its failure by exception; it becomes a value here.
    try {
      return std::thread(std::move(fn));
    } catch (const std::system_error& e) {
      return zv::make_unexpected(zv::IoError::from_errno(e.code().value(), "spawn worker thread"));
    }
  };
}

WorkerPool::WorkerPool() : WorkerPool(bounded_channel<WorkerMessage>(kWorkerChannelCapacity)) {}

WorkerPool::WorkerPool(std::pair<WorkerSender, WorkerReceiver> ends)
    : rx_(std::move(ends.second)), tx_(std::move(ends.first)) {}

WorkerPool::~WorkerPool() {
  // Workers that were never joined keep running on what they hold. Nothing
  // else uses the pool while it is destroyed.
  for (std::thread& t : handles_) {
    if (t.joinable()) t.detach();
  }
}

MorvaStatus WorkerPool::start(size_t thread_count, Body body,
                              std::shared_ptr<std::atomic<uint64_t>> running,
                              std::shared_ptr<WorkerBookkeeping> bookkeeping,
                              std::shared_ptr<std::atomic<bool>> poisoned, ThreadFactory threads) {
  ZV_LOG(zv::log::Level::kDebug, kLogTarget,
         "Starting worker pool with " + std::to_string(thread_count) + " threads");
  std::vector<std::thread> started;
  std::optional<MorvaError> failure;
  for (size_t i = 0; i < thread_count; ++i) {
    running->fetch_add(1);
    ZV_LOG(zv::log::Level::kTrace, kLogTarget, "Starting morva worker thread #" + std::to_string(i));
    auto fn = [body, running, bookkeeping, poisoned, rx = rx_, tx = tx_, thread_count, i]() {
      (void)zv::set_current_thread_name(kWorkerThreadName);
      std::string message;
      const bool ok = zv::catch_panic(
          [&] {
            WorkerThread t{running, rx, tx, bookkeeping, thread_count, i, PoisonGuard(poisoned)};
            body(t);
          },
          &message);
      if (!ok) {
        ZV_ERROR(kLogTarget, "Worker #" + std::to_string(i) + " crashed: " + message);
      }
      running->fetch_sub(1);
    };
    auto thread = threads(std::move(fn));
    if (!thread.ok()) {
      running->fetch_sub(1);
      failure = MorvaError(std::move(thread).error());
      break;
    }
    started.push_back(std::move(thread).value());
  }
  // The handles of the workers that did start are kept even after a failed
  // spawn, so that they can be joined.
  {
    auto guard = lock_unpoisoned(handles_mutex_);
    for (std::thread& t : started) handles_.push_back(std::move(t));
  }
  if (failure) return zv::make_unexpected(std::move(*failure));
  return {};
}

void WorkerPool::join() {
  std::vector<std::thread> handles;
  {
    auto guard = lock_unpoisoned(handles_mutex_);
    handles.swap(handles_);
  }
  for (std::thread& t : handles) {
    if (t.joinable()) t.join();
  }
}

size_t WorkerPool::thread_count() {
  auto guard = lock_unpoisoned(handles_mutex_);
  return handles_.size();
}

}  // namespace morva
