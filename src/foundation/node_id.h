// The 128-bit node identifier shared by every layer of the core (a record's id
// is the XXH3-128 of its namespace, a zero byte and its key), and its decimal
// text form used in messages. A plain integer: copy freely between threads.
#pragma once

#include <cstdint>
#include <string>

namespace zv {

// A plain unsigned 128-bit integer, so ids compare, hash and order as numbers
// and need no wrapper; the record model builds ids from the two 64-bit halves.
using NodeId = unsigned __int128;

inline constexpr NodeId make_node_id(uint64_t high, uint64_t low) {
  return (static_cast<NodeId>(high) << 64) | low;
}
inline constexpr uint64_t node_id_high(NodeId id) { return static_cast<uint64_t>(id >> 64); }
inline constexpr uint64_t node_id_low(NodeId id) { return static_cast<uint64_t>(id); }

// The largest id, 2^128 - 1 (39 decimal digits).
inline constexpr NodeId kMaxNodeId = ~static_cast<NodeId>(0);

// Plain decimal, no grouping, at most 39 digits.
std::string node_id_to_string(NodeId id);

}  // namespace zv
