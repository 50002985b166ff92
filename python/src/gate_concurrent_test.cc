#include "python/src/gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zv::py {
namespace {

using namespace std::chrono_literals;

// Callers that never pause race several closers: every call either enters
// and leaves, or is refused once closing began; every closer returns only
// when nothing is inside, and the count ends at zero.
TEST(OperationGateConcurrentTest, CallersAndSeveralClosers) {
  auto gate = OperationGate::create();
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> entered{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<int> inside{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&] {
      while (!stop.load()) {
        auto guard = gate->enter();
        if (!guard) {
          refused.fetch_add(1);
          continue;
        }
        inside.fetch_add(1);
        entered.fetch_add(1);
        inside.fetch_sub(1);
      }
    });
  }
  while (entered.load() < 1000) std::this_thread::yield();
  std::vector<std::thread> closers;
  std::atomic<int> seen_inside_after_close{0};
  for (int c = 0; c < 3; ++c) {
    closers.emplace_back([&] {
      gate->begin_close();
      // No call that entered can still be running.
      seen_inside_after_close.fetch_add(inside.load());
    });
  }
  for (auto& c : closers) c.join();
  EXPECT_EQ(seen_inside_after_close.load(), 0);
  EXPECT_TRUE(gate->closing());
  EXPECT_EQ(gate->active(), 0u);
  EXPECT_EQ(gate->enter(), nullptr);
  stop = true;
  for (auto& t : callers) t.join();
  EXPECT_EQ(gate->active(), 0u);
}

// A closer waits for a call of another thread until that call leaves.
TEST(OperationGateConcurrentTest, CloseWaitsForAnotherThreadsCall) {
  auto gate = OperationGate::create();
  std::promise<void> in_call;
  std::promise<void> release_call;
  std::thread caller([&] {
    auto guard = gate->enter();
    ASSERT_NE(guard, nullptr);
    in_call.set_value();
    release_call.get_future().wait();
  });
  in_call.get_future().wait();
  auto closed = std::async(std::launch::async, [&] { gate->begin_close(); });
  EXPECT_EQ(closed.wait_for(50ms), std::future_status::timeout);
  release_call.set_value();
  closed.get();
  caller.join();
  EXPECT_EQ(gate->active(), 0u);
}

// Close from inside the same thread's own call returns at once; two threads
// each inside a call and each closing do not wait for one another.
TEST(OperationGateConcurrentTest, ClosersInsideTheirOwnCallsDoNotHang) {
  auto gate = OperationGate::create();
  {
    auto outer = gate->enter();
    ASSERT_NE(outer, nullptr);
    gate->begin_close();
    EXPECT_EQ(gate->active(), 1u);
  }
  EXPECT_EQ(gate->active(), 0u);

  auto gate2 = OperationGate::create();
  std::atomic<int> both_in{0};
  auto closer_in_call = [&] {
    auto guard = gate2->enter();
    ASSERT_NE(guard, nullptr);
    both_in.fetch_add(1);
    while (both_in.load() < 2) std::this_thread::yield();
    gate2->begin_close();
  };
  auto a = std::async(std::launch::async, closer_in_call);
  auto b = std::async(std::launch::async, closer_in_call);
  ASSERT_EQ(a.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(b.wait_for(10s), std::future_status::ready);
  a.get();
  b.get();
  EXPECT_EQ(gate2->active(), 0u);
}

// The guard leaves the gate on an error return and when a panic unwinds.
TEST(OperationGateConcurrentTest, GuardLeavesOnEveryPath) {
  auto gate = OperationGate::create();
  auto failing_call = [&]() -> bool {
    auto guard = gate->enter();
    return false;
  };
  EXPECT_FALSE(failing_call());
  EXPECT_THROW(
      {
        auto guard = gate->enter();
        throw std::runtime_error("panic in body");
      },
      std::runtime_error);
  EXPECT_EQ(gate->active(), 0u);
  auto closed = std::async(std::launch::async, [&] { gate->begin_close(); });
  ASSERT_EQ(closed.wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace zv::py
