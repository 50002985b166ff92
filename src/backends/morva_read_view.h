// Consistent read views over one keyspace of the key-value engine, and the
// turning of a read item into an owned pair. A view pairs a super version of
// the keyspace's tree with a sequence number to read it at. The super version
// is taken first: a version installed before the number is pinned was
// written with a garbage-collection watermark below that number, so it holds
// every version a read there needs. A batch enters one memtable whole (its
// items are appended under the journal lock, which a rotation takes too), so
// a read through the view sees a batch whole or not at all.
#pragma once

#include <string>
#include <utility>

#include "src/record/kv_service.h"
#include "tervik/cache/block_cache.h"
#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"
#include "tervik/tree/tree.h"
#include "tervik/version/super_version.h"

namespace zv {

// The newest super version of `tree` and what `pin()` returned afterwards
// (a sequence number or an open snapshot).
template <class Pin>
auto pinned_view(const tervik::Tree& tree, Pin pin) -> std::pair<tervik::SuperVersion, decltype(pin())> {
  // A batch that meets a memtable rotation puts its first items into the
  // old memtable and the rest into the new one. A view taken before that
  // rotation, read at a number pinned after the batch, would hold half of
  // the batch: take it again until no rotation came between the view and
  // the pin (flushes only turn memtables into tables and lose nothing).
  for (;;) {
    tervik::SuperVersion sv = tree.latest_super_version();
    auto pinned = pin();
    if (tree.latest_super_version().active_memtable == sv.active_memtable)
      return {std::move(sv), std::move(pinned)};
  }
}

// The item's value, read from the blob files of `sv` when it is a blob
// indirection (a key-value-separated tree), copied out of engine memory.
tervik::TervikResult<std::string> resolve_value(uint64_t tree_id, const tervik::SuperVersion& sv,
                                                tervik::BlockCache& cache, const tervik::InternalValue& item);

// The same with the key: the item as an owned pair.
tervik::TervikResult<KvPair> resolve_pair(uint64_t tree_id, const tervik::SuperVersion& sv,
                                          tervik::BlockCache& cache, const tervik::InternalValue& item);

}  // namespace zv
