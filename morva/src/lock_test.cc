#include "morva/src/lock.h"

#include <gtest/gtest.h>

#include <thread>

#include "tervik/core/testing/panic_capture.h"

namespace morva {
namespace {

using tervik::testing::panic_message;

TEST(LockTest, APanickingHolderPoisonsAndLockUnpoisonedThenPanics) {
  zv::PoisonMutex mutex;
  zv::PoisonRwLock rw;
  std::thread t([&] {
    (void)zv::catch_panic(
        [&] {
          auto g = lock_unpoisoned(mutex);
          auto w = write_unpoisoned(rw);
          zv::panic("holder died");
        },
        nullptr);
  });
  t.join();
  const std::string m = panic_message([&] { auto g = lock_unpoisoned(mutex); });
  EXPECT_EQ(m.rfind("lock is poisoned", 0), 0u) << m;
  EXPECT_NE(m.find("lock_test.cc"), std::string::npos) << "reported at the caller: " << m;
  EXPECT_EQ(panic_message([&] { auto g = read_unpoisoned(rw); }).rfind("lock is poisoned", 0), 0u);
  EXPECT_EQ(panic_message([&] { auto g = write_unpoisoned(rw); }).rfind("lock is poisoned", 0), 0u);
  EXPECT_EQ(lock_or_poisoned(mutex).error().kind(), MorvaErrorKind::kPoisoned);
}

TEST(LockTest, HealthyLocks) {
  zv::PoisonMutex mutex;
  { auto g = lock_unpoisoned(mutex); }
  auto g = lock_or_poisoned(mutex);
  ASSERT_TRUE(g.ok());
  EXPECT_TRUE(g->owns_lock());
}

}  // namespace
}  // namespace morva
