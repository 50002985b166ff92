#include "platform/random.h"

#include <cerrno>
#include <sys/random.h>

#include "platform/panic.h"

namespace zv {

void os_random_bytes(void* buf, size_t len) {
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ssize_t n = getrandom(p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      panic("the OS random source failed");
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
}

uint64_t os_random_u64() {
  uint64_t v;
  os_random_bytes(&v, sizeof(v));
  return v;
}

}  // namespace zv
