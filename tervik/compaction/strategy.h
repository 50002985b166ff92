// The interface of compaction strategies: a name, the option entries the
// key-value engine stores for the strategy, and the decision of the next
// compaction from a version and the tables that running compactions hide.
// Strategies are immutable; one object is shared by the keyspace options and
// every compaction of the tree and may decide on several threads at once.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tervik/compaction/choice.h"
#include "tervik/config/tree_config.h"
#include "tervik/version/table_attributes.h"
#include "tervik/version/version.h"

namespace tervik::compaction {

// One stored option of a strategy: (key bytes, value bytes).
using ConfigEntry = std::pair<std::string, std::string>;

class CompactionStrategy {
 public:
  virtual ~CompactionStrategy() = default;

  // "LeveledCompaction" or "FifoCompaction".
  virtual std::string_view name() const = 0;
  // The settings as option entries, built afresh on every call.
  virtual std::vector<ConfigEntry> config() const = 0;
  // Decides from its arguments alone; no I/O, no errors. `hidden` holds the
  // ids of the tables running compactions work on.
  virtual Choice choose(const Version& version, const TreeConfig& config,
                        const HiddenTableSet& hidden) const = 0;
};

using StrategyHandle = std::shared_ptr<const CompactionStrategy>;

}  // namespace tervik::compaction
