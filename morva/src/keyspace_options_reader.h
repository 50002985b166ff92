// Reading one keyspace's options back from its stored meta entries, in a
// fixed order, the compaction strategy built from its own entries. A missing
// entry, an unknown or non-UTF-8 strategy name and other damage this system
// never writes are logged and returned as Unrecoverable. Pure functions over
// a lookup; thread safety is that of the lookup.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "morva/src/error.h"
#include "morva/src/keyspace_options.h"

namespace morva {

// The stored value of one option of the keyspace being read, absent when the
// entry does not exist, or the read's error.
using MetaOptionLookup = std::function<MorvaResult<std::optional<std::string>>(std::string_view option)>;

// The five blob entries of a keyspace with key-value separation.
MorvaResult<tervik::KvSeparationOptions> read_kv_separation(const MetaOptionLookup& get);

// Every option of one keyspace; level_count is the default (7), the stored
// level_count and version entries are not read.
MorvaResult<KeyspaceCreateOptions> read_keyspace_options(const MetaOptionLookup& get);

}  // namespace morva
