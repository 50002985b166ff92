// Node ids of records: the XXH3-128 of namespace, one zero byte and key, and
// the 16-byte little-endian form in which an id is a backend key. Pure
// functions; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "src/foundation/node_id.h"

namespace zv {

inline constexpr size_t kNodeKeyLen = 16;

// The id of the record (namespace, key): high half * 2^64 + low half of the
// XXH3-128 (seed 0) of namespace bytes, 0x00, key bytes.
NodeId record_node_id(std::string_view ns, std::string_view key);

// The 16 little-endian bytes of an id: the low half, then the high half.
std::string node_key(NodeId id);
// The id of a 16-byte key; none for any other length.
std::optional<NodeId> node_id_from_key(std::string_view key);

}  // namespace zv
