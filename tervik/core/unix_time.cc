#include "tervik/core/unix_time.h"

#include "platform/clock.h"
#include "platform/panic.h"
#include "tervik/core/fatal.h"

namespace tervik::time {

UnixTimestamp unix_timestamp() {
  // The platform clock reports 0 for any instant before the epoch.
  uint64_t ns = zv::now_ns();
  if (ns == 0) zv::panic(kFatalTimeWentBackwards);
  return UnixTimestamp{ns / 1'000'000'000u, static_cast<uint32_t>(ns % 1'000'000'000u)};
}

}  // namespace tervik::time
