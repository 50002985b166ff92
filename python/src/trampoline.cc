#include "python/src/trampoline.h"

#include <cstdio>
#include <cstdlib>

#include "python/src/exceptions.h"

namespace zv::py {

void abort_at_ffi_boundary() noexcept {
  std::fputs(kFfiBoundaryAbort, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

void raise_panic_exception(const std::string& message) {
  PyObject* cls = panic_exception_class();
  PyErr::lazy(cls, message).restore();
}

}  // namespace zv::py
