// The one panic mechanism: a broken internal invariant stops the current
// operation. A panic unwinds as a PanicError; the Python boundary and every
// worker thread catch it (catch_panic) and turn it into an error of their own.
// Errors that callers are expected to handle are values, never panics.
#pragma once

#include <exception>
#include <string>

namespace zv {

class PanicError : public std::exception {
 public:
  explicit PanicError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// Stops the operation. The message is the text the boundary shows.
[[noreturn]] void panic(const std::string& message);

// Runs fn(); if it panics (or throws anything at all), returns the panic
// message in *message and false.
template <class Fn>
bool catch_panic(Fn&& fn, std::string* message) {
  try {
    fn();
    return true;
  } catch (const PanicError& p) {
    if (message) *message = p.message();
    return false;
  } catch (const std::bad_alloc&) {
    if (message) *message = "memory allocation failed";
    return false;
  } catch (const std::exception& e) {
    if (message) *message = e.what();
    return false;
  } catch (...) {
    if (message) *message = "unknown panic";
    return false;
  }
}

}  // namespace zv

// Checks an invariant in every build; a false condition panics with the text.
#define ZV_CHECK(cond, msg)                 \
  do {                                      \
    if (!(cond)) ::zv::panic(msg);          \
  } while (0)
