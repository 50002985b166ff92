// Consistent read views over one keyspace of the key-value engine, and the
// turning of a read item into an owned pair. A view pairs a super version of
// the keyspace's tree with a sequence number to read it at, taken so that
// every write numbered below that number is inside the super version: the
// super version is taken first (a version installed before the number is
// pinned was written with a watermark below it), and the pin is retried when
// a memtable rotation came in between (a write that went into the new
// memtable would otherwise be missing, and with it part of a batch).
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

// True while `sv`'s active memtable is still the tree's active one.
bool is_latest_memtable(const tervik::Tree& tree, const tervik::SuperVersion& sv);

// The newest super version of `tree` and what `pin()` returned (a sequence
// number or an open snapshot), pinned after the super version was taken and
// before the tree's active memtable changed.
template <class Pin>
auto pinned_view(const tervik::Tree& tree, Pin pin) -> std::pair<tervik::SuperVersion, decltype(pin())> {
  for (;;) {
    tervik::SuperVersion sv = tree.latest_super_version();
    auto pinned = pin();
    if (is_latest_memtable(tree, sv)) return {std::move(sv), std::move(pinned)};
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
