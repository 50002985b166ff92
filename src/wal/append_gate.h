// A gate that appends pass in numbers and that a rotation closes for a short
// while: appends hold it shared for their whole length, close() stops new
// ones from entering and waits, with a bound, until those inside have left.
// Closing takes precedence over entering, so a steady stream of appends
// cannot keep a rotation out. The shared path is one atomic operation on
// entry and one on exit. Thread-safe; one closer at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zv::wal {

class AppendGate {
 public:
  void enter();
  void leave();
  // Stops new entries and waits until none is inside: true once closed;
  // false (and open again) when `bound` passed first.
  bool close(std::chrono::milliseconds bound);
  void open();

  // Holds the gate shared for a scope.
  class Pass {
   public:
    explicit Pass(AppendGate& gate) : gate_(gate) { gate_.enter(); }
    ~Pass() { gate_.leave(); }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

   private:
    AppendGate& gate_;
  };

 private:
  static constexpr uint64_t kClosing = uint64_t{1} << 63;
  std::atomic<uint64_t> state_{0};  // kClosing | number of appends inside
  std::mutex mu_;                   // for the slow paths' waits only
  std::condition_variable cv_;
};

}  // namespace zv::wal
