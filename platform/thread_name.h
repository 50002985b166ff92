// Names of operating-system threads, as tools (top, debuggers) and the
// process's own diagnostics show them. At most 15 bytes are kept. Safe from
// any thread; each call concerns the calling thread.
#pragma once

#include <string>
#include <string_view>

#include "platform/io_error.h"

namespace zv {

// Names the calling thread (longer names are cut to 15 bytes).
IoStatus set_current_thread_name(std::string_view name);
// The calling thread's name.
IoResult<std::string> current_thread_name();

}  // namespace zv
