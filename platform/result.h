// A value-or-error return type shared by every component: the core's
// ZolvaResult, the engines' own results and the platform layer's IoResult are
// all Result<T, E> with their own error type. Not thread-safe by itself; a
// Result is a plain value.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace zv {

// Wraps an error so that it converts into any Result whose error type can be
// built from it.
template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> make_unexpected(E&& e) {
  return Unexpected<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  Result(const T& v) : v_(std::in_place_index<0>, v) {}  // NOLINT
  Result(T&& v) : v_(std::in_place_index<0>, std::move(v)) {}  // NOLINT
  template <class U,
            std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                 !std::is_same_v<std::decay_t<U>, Result> &&
                                 !std::is_same_v<std::decay_t<U>, T>,
                             int> = 0>
  Result(U&& v) : v_(std::in_place_index<0>, std::forward<U>(v)) {}  // NOLINT
  template <class G>
  Result(Unexpected<G>&& u) : v_(std::in_place_index<1>, std::move(u.error)) {}  // NOLINT
  template <class G>
  Result(const Unexpected<G>& u) : v_(std::in_place_index<1>, u.error) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { assert(!ok()); return std::get<1>(v_); }
  const E& error() const& { assert(!ok()); return std::get<1>(v_); }
  E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

// Result of an operation with no value: success or one error.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Result() = default;
  template <class G>
  Result(Unexpected<G>&& u) : err_(std::move(u.error)) {}  // NOLINT
  template <class G>
  Result(const Unexpected<G>& u) : err_(u.error) {}  // NOLINT

  bool ok() const { return !err_.has_value(); }
  explicit operator bool() const { return ok(); }
  void value() const { assert(ok()); }

  E& error() & { assert(!ok()); return *err_; }
  const E& error() const& { assert(!ok()); return *err_; }
  E&& error() && { assert(!ok()); return std::move(*err_); }

 private:
  std::optional<E> err_;
};

}  // namespace zv

#define ZV_CONCAT_INNER(a, b) a##b
#define ZV_CONCAT(a, b) ZV_CONCAT_INNER(a, b)

// Returns the error of a failed Result from the enclosing function.
#define ZV_TRY(expr)                                                  \
  do {                                                                \
    auto&& zv_try_result_ = (expr);                                   \
    if (!zv_try_result_.ok())                                         \
      return ::zv::make_unexpected(std::move(zv_try_result_).error()); \
  } while (0)

// Declares `lhs` from the value of a Result, or returns its error.
#define ZV_ASSIGN_OR_RETURN(lhs, expr) \
  ZV_ASSIGN_OR_RETURN_IMPL(ZV_CONCAT(zv_result_, __LINE__), lhs, expr)
#define ZV_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)               \
  auto tmp = (expr);                                           \
  if (!tmp.ok()) return ::zv::make_unexpected(std::move(tmp).error()); \
  lhs = std::move(tmp).value()
