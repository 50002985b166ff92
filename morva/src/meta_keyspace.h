// The stored form of a keyspace in the meta keyspace (keyspace 0): option
// entries keyed 'c' + id (u64 big-endian) + option name, and the name entry
// keyed 'n' + id; and the sorted entry list a new keyspace writes. Pure
// functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "morva/src/keyspace_options.h"

namespace morva {

inline constexpr uint8_t kMetaConfigKeyTag = 0x63;  // 'c'
inline constexpr uint8_t kMetaNameKeyTag = 0x6E;    // 'n'
inline constexpr uint8_t kKeyspaceOptionsVersion = 3;

using MetaEntry = std::pair<std::string, std::string>;

// 'c', the id big-endian, the option name.
std::string meta_config_key(uint64_t keyspace_id, std::string_view option_name);
// 'n', the id big-endian.
std::string meta_name_key(uint64_t keyspace_id);

// Every entry a new keyspace stores, sorted by key: its options, its
// strategy's settings, key-value separation when set, and its name. A
// strategy other than the leveled and FIFO ones, or a strategy key that is
// not UTF-8, is a broken invariant (panic): the caller built the options.
std::vector<MetaEntry> keyspace_meta_entries(uint64_t keyspace_id, std::string_view name,
                                             const KeyspaceCreateOptions& options);

}  // namespace morva
