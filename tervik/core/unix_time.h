// The wall clock as the tree records it (table creation times): whole seconds
// and nanoseconds since 1970-01-01 UTC. Thread-safe.
#pragma once

#include <cstdint>

namespace tervik::time {

struct UnixTimestamp {
  uint64_t secs = 0;
  uint32_t nanos = 0;
};

// A clock standing before 1970 is the fatal error "time went backwards".
UnixTimestamp unix_timestamp();

}  // namespace tervik::time
