// One record change as the index code sees it: the record before (none for
// an insert) and after (none for a delete). Borrowed pointers; a plain value.
#pragma once

#include "src/record/memory_record.h"

namespace zv::text {

struct RecordPair {
  const MemoryRecord* old_record = nullptr;
  const MemoryRecord* new_record = nullptr;
};

}  // namespace zv::text
