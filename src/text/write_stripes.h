// The per-key write stripes of an engine: a fixed table of mutexes indexed by
// the low bits of a node id. A record writer holds its id's stripe from its
// read of the stored record to the end of its index update, so two writers
// of one record never both build on the same stored version (which would
// lose a version and remove the old record's postings twice). Readers take
// none. Lock order, outermost first: the supersede lock, the stripes, the
// index gate, the engine's own locks. One table per engine; thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <span>
#include <vector>

#include "src/foundation/node_id.h"

namespace zv::text {

class WriteStripes {
 public:
  static constexpr size_t kStripeCount = 1024;

  static size_t stripe_of(NodeId id) { return static_cast<size_t>(id) & (kStripeCount - 1); }
  std::mutex& stripe(size_t index) { return stripes_[index]; }

 private:
  std::array<std::mutex, kStripeCount> stripes_;
};

// Holds the stripes of one or several ids: each stripe once, taken in
// ascending stripe order (so two writers of overlapping id sets cannot
// deadlock), released in reverse. Movable, not copyable.
class StripeLock {
 public:
  StripeLock(WriteStripes& stripes, NodeId id);
  StripeLock(WriteStripes& stripes, std::span<const NodeId> ids);
  ~StripeLock();

  StripeLock(StripeLock&& other) noexcept;
  StripeLock& operator=(StripeLock&&) = delete;
  StripeLock(const StripeLock&) = delete;
  StripeLock& operator=(const StripeLock&) = delete;

  // The stripe indexes held, ascending.
  const std::vector<size_t>& held() const { return held_; }

 private:
  WriteStripes* stripes_;
  std::vector<size_t> held_;
};

}  // namespace zv::text
