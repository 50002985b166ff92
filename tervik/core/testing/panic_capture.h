// Test helper: runs a callable and returns the text of the panic it raised,
// or "<no panic>". Test-only.
#pragma once

#include <string>

#include "platform/panic.h"

namespace tervik::testing {

template <class Fn>
std::string panic_message(Fn&& fn) {
  std::string message;
  if (zv::catch_panic(std::forward<Fn>(fn), &message)) return "<no panic>";
  return message;
}

}  // namespace tervik::testing
