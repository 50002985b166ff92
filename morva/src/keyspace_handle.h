// What the engine's background parts know of a keyspace: its name (worker
// messages, logs) and its tree's highest persisted sequence number (journal
// maintenance). The keyspace implements it; tests implement it too. An
// implementation must be thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace morva {

class KeyspaceHandle {
 public:
  virtual ~KeyspaceHandle() = default;
  virtual std::string name() const = 0;
  // The highest sequence number in the keyspace tree's tables; none before
  // its first table.
  virtual std::optional<uint64_t> highest_persisted_seqno() const = 0;
};

}  // namespace morva
