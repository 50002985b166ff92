// Locked<T, M>: a value together with the lock that guards it, for the
// engine's state fields that the lock tables pair one to one. Holders lock
// `mu` themselves (RAII guards) before touching `value`. Thread-safe only
// through that discipline.
#pragma once

#include <shared_mutex>

namespace zv {

template <class T, class M = std::shared_mutex>
struct Locked {
  mutable M mu;
  T value{};
};

}  // namespace zv
