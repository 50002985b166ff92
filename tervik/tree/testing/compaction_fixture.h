// Shorthands of the compaction tests: a strategy that returns a scripted
// choice, flushing what was written into a level-0 table, the table ids of a
// level and the file names of a folder. Test-only.
#pragma once

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/panic.h"
#include "tervik/compaction/strategy.h"
#include "tervik/tree/tree.h"

namespace tervik::testing {

// Returns `choice` (or what `script` returns) on every call.
class ScriptedStrategy final : public compaction::CompactionStrategy {
 public:
  explicit ScriptedStrategy(compaction::Choice choice) : choice_(std::move(choice)) {}
  explicit ScriptedStrategy(std::function<compaction::Choice(const Version&)> script)
      : script_(std::move(script)) {}

  std::string_view name() const override { return "Scripted"; }
  std::vector<compaction::ConfigEntry> config() const override { return {}; }
  compaction::Choice choose(const Version& v, const TreeConfig&, const HiddenTableSet&) const override {
    return script_ ? script_(v) : choice_;
  }

 private:
  compaction::Choice choice_;
  std::function<compaction::Choice(const Version&)> script_;
};

inline compaction::StrategyHandle scripted(compaction::Choice c) {
  return std::make_shared<ScriptedStrategy>(std::move(c));
}

inline compaction::Input input_of(std::vector<uint64_t> ids, uint8_t dest, uint8_t canonical = 0,
                                  uint64_t target = 64ull << 20) {
  return compaction::Input{compaction::make_id_set(std::move(ids)), dest, canonical, target};
}

// Seals the active memtable and flushes it into level 0; returns the new
// table's id.
inline uint64_t flush(const Tree& t) {
  auto guard = t.lock_flush();
  const uint64_t id = t.inner()->table_id_counter.get();
  if (!t.rotate_memtable()) zv::panic("flush: nothing written");
  auto r = t.flush_sealed_memtables(0);
  if (!r.ok()) zv::panic("flush: " + r.error().to_string());
  return id;
}

// The table ids of one level, run by run.
inline std::vector<std::vector<uint64_t>> level_ids(const Tree& t, size_t level) {
  std::vector<std::vector<uint64_t>> out;
  for (const RunHandle& run : t.current_version().levels()[level]->runs()) {
    out.emplace_back();
    for (const Table& table : run->tables()) out.back().push_back(table.id());
  }
  return out;
}

inline std::set<std::string> files_of(const std::string& folder) {
  std::set<std::string> out;
  auto names = zv::fs::list_dir(folder);
  if (names.ok()) out.insert(names->begin(), names->end());
  return out;
}

}  // namespace tervik::testing
