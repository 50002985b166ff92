#include "platform/panic.h"

#include "platform/log.h"

namespace zv {

void panic(const std::string& message) {
  log::emit(log::Level::kError, "panic", message, {});
  throw PanicError(message);
}

}  // namespace zv
