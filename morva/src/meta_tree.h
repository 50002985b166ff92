// What the meta keyspace needs of its LSM tree: a point read, an ascending
// prefix scan, one bulk ingestion of sorted entries into a new table, and one
// compaction run. The engine serves it with the meta keyspace's tree; tests
// serve it from memory. Implementations are safe to call from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tervik/compaction/strategy.h"
#include "tervik/core/error.h"
#include "tervik/core/seqno.h"

namespace morva {

struct MetaEntry {
  std::string key;
  std::string value;
  bool operator==(const MetaEntry&) const = default;
};

// Every completed write is visible below this bound.
inline constexpr tervik::SeqNo kReadAllSeqNo = ~tervik::SeqNo{0};

class MetaTree {
 public:
  using Visitor = std::function<void(std::string_view key, std::string_view value)>;

  virtual ~MetaTree() = default;
  // The newest value of `key` below `bound`; none when absent.
  virtual tervik::TervikResult<std::optional<std::string>> get(std::string_view key,
                                                               tervik::SeqNo bound) const = 0;
  // Visits the newest value of every key starting with `prefix`, ascending.
  virtual tervik::TervikStatus scan_prefix(std::string_view prefix, tervik::SeqNo bound,
                                           const Visitor& visit) const = 0;
  // Writes `sorted` (ascending, distinct keys) into one new table registered
  // in a persisted version; on an error nothing of it is visible.
  virtual tervik::TervikStatus ingest(const std::vector<MetaEntry>& sorted) = 0;
  // Runs one compaction with `strategy`, dropping shadowed versions below
  // `gc_watermark`.
  virtual tervik::TervikStatus compact(tervik::compaction::StrategyHandle strategy,
                                       tervik::SeqNo gc_watermark) = 0;
};

}  // namespace morva
