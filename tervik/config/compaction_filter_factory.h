// The hook through which an embedding may filter the items that merge
// compactions rewrite: a tree configuration may hold one factory, asked for a
// fresh filter per merge run. The key-value engine installs none. Factories
// are shared between threads and must be safe to call concurrently.
#pragma once

#include <memory>
#include <string>

namespace tervik {

// The per-item filter; defined with compaction.
class CompactionFilter;

struct CompactionFilterContext {
  // True when the run writes the tree's last level, where tombstones the
  // filter produces are not kept.
  bool is_last_level = false;
};

class CompactionFilterFactory {
 public:
  virtual ~CompactionFilterFactory() = default;
  // Shown only in trace messages.
  virtual std::string name() const = 0;
  virtual std::unique_ptr<CompactionFilter> make_filter(const CompactionFilterContext& context) = 0;
};

}  // namespace tervik
