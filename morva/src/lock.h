// How the engine takes its poison-reporting locks: where a poisoned lock is a
// broken invariant, lock_unpoisoned and its reader-writer forms panic with
// "lock is poisoned" and the caller's file and line; where it is an error to
// report, lock_or_poisoned returns Poisoned. Stateless helpers.
#pragma once

#include <string>

#include "morva/src/error.h"
#include "platform/panic.h"
#include "platform/poison_lock.h"

namespace morva {

[[noreturn]] inline void panic_poisoned(const char* file, int line) {
  zv::panic(std::string(zv::kLockPoisonedMessage) + " (at " + file + ":" + std::to_string(line) +
            ")");
}

[[nodiscard]] inline zv::PoisonMutex::Guard lock_unpoisoned(
    zv::PoisonMutex& m, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (m.is_poisoned()) panic_poisoned(file, line);
  return m.lock();
}

[[nodiscard]] inline zv::PoisonRwLock::ReadGuard read_unpoisoned(
    zv::PoisonRwLock& l, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (l.is_poisoned()) panic_poisoned(file, line);
  return l.read();
}

[[nodiscard]] inline zv::PoisonRwLock::WriteGuard write_unpoisoned(
    zv::PoisonRwLock& l, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (l.is_poisoned()) panic_poisoned(file, line);
  return l.write();
}

// The guard, or Poisoned when a former holder panicked.
inline MorvaResult<zv::PoisonMutex::Guard> lock_or_poisoned(zv::PoisonMutex& m) {
  if (m.is_poisoned()) return zv::make_unexpected(MorvaError::poisoned());
  zv::PoisonMutex::Guard guard;
  // The lock may be poisoned between the check and the acquisition.
  if (!zv::catch_panic([&] { guard = m.lock(); }, nullptr)) {
    return zv::make_unexpected(MorvaError::poisoned());
  }
  return guard;
}

}  // namespace morva
