#include "platform/poison_lock.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/panic.h"

namespace zv {
namespace {

std::string panic_text(const auto& fn) {
  std::string message;
  EXPECT_FALSE(catch_panic(fn, &message));
  return message;
}

TEST(PoisonLock, MutexPoisonsOnlyWhenAHolderPanics) {
  PoisonMutex m;
  { auto g = m.lock(); }
  // An exception thrown and caught inside the critical section is not an
  // unwind through the guard.
  {
    auto g = m.lock();
    try {
      panic("inner");
    } catch (const PanicError&) {
    }
  }
  EXPECT_FALSE(m.is_poisoned());
  EXPECT_EQ(panic_text([&] {
              auto g = m.lock();
              panic("holder failed");
            }),
            "holder failed");
  EXPECT_TRUE(m.is_poisoned());
  EXPECT_EQ(panic_text([&] { auto g = m.lock(); }), kLockPoisonedMessage);
  // The panic on a poisoned lock leaves it free for the next thread: a
  // second attempt from another thread panics too instead of blocking.
  std::string other;
  std::thread t([&] { catch_panic([&] { auto g = m.lock(); }, &other); });
  t.join();
  EXPECT_EQ(other, kLockPoisonedMessage);
}

TEST(PoisonLock, GuardTakenDuringAnUnwindPoisonsOnlyOnANewPanic) {
  // A destructor running during some other unwind may take and release a
  // lock; that release is no panic of the holder.
  PoisonMutex m;
  struct Cleaner {
    PoisonMutex* m;
    ~Cleaner() { auto g = m->lock(); }
  };
  catch_panic(
      [&] {
        Cleaner c{&m};
        panic("outer");
      },
      nullptr);
  EXPECT_FALSE(m.is_poisoned());
}

TEST(PoisonLock, RwLockPoisonsOnWriterPanicOnly) {
  PoisonRwLock l;
  catch_panic(
      [&] {
        auto r = l.read();
        panic("reader failed");
      },
      nullptr);
  EXPECT_FALSE(l.is_poisoned());
  {
    auto r1 = l.read();
    auto r2 = l.read();  // shared
    EXPECT_TRUE(r2.owns_lock());
  }
  catch_panic(
      [&] {
        auto w = l.write();
        panic("writer failed");
      },
      nullptr);
  EXPECT_TRUE(l.is_poisoned());
  EXPECT_EQ(panic_text([&] { auto r = l.read(); }), kLockPoisonedMessage);
  EXPECT_EQ(panic_text([&] { auto w = l.write(); }), kLockPoisonedMessage);
}

TEST(PoisonLock, EarlyUnlockAndMoveReleaseOnce) {
  PoisonMutex m;
  auto g = m.lock();
  auto moved = std::move(g);
  EXPECT_FALSE(g.owns_lock());
  moved.unlock();
  EXPECT_FALSE(moved.owns_lock());
  // Free again: a second lock does not block, and a panic after the early
  // unlock poisons nothing.
  catch_panic(
      [&] {
        auto g2 = m.lock();
        g2.unlock();
        panic("after unlock");
      },
      nullptr);
  EXPECT_FALSE(m.is_poisoned());
}

}  // namespace
}  // namespace zv
