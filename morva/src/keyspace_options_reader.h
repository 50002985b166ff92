// Reads one keyspace's options back from its entries in the meta keyspace,
// as every open does: the policies through their decoders, the compaction
// strategy rebuilt from its own entries, key-value separation from the blob
// entries. Missing or damaged entries fail the read with an error (logged)
// rather than stopping the process. Pure functions over a lookup.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "morva/src/error.h"
#include "morva/src/keyspace_options.h"
#include "morva/src/meta_keyspace.h"
#include "tervik/config/kv_separation_options.h"

namespace morva {

inline constexpr std::string_view kRecoveryLogTarget = "morva::recovery";
inline constexpr const char* kMissingOptionMessage = "should exist";
inline constexpr const char* kStrategyNotUtf8Message = "compaction_strategy should be UTF-8";
// Appended to an entry's name when a required entry is missing.
inline constexpr const char* kShouldBeDefinedSuffix = " should be defined";

// One option entry of the keyspace being read; none when it does not exist.
using OptionLookup = std::function<MorvaResult<std::optional<std::string>>(std::string_view option_name)>;

// The five blob entries, in order: age cutoff, compression, file target
// size, separation threshold, staleness threshold. A lookup error comes back
// unchanged; a missing entry is Unrecoverable ("<name> should be defined").
MorvaResult<tervik::KvSeparationOptions> read_kv_separation(const OptionLookup& lookup);
MorvaResult<tervik::KvSeparationOptions> read_kv_separation(const MetaKeyspace& meta, KeyspaceId id);

// The whole options record; level_count is always the default (7), the
// stored one is not read. An error of the blob entries is returned only once
// every other entry has been read.
MorvaResult<KeyspaceCreateOptions> read_keyspace_options(const OptionLookup& lookup);
// The same from one prefix scan of the keyspace's option entries.
MorvaResult<KeyspaceCreateOptions> read_keyspace_options(const MetaKeyspace& meta, KeyspaceId id);

}  // namespace morva
