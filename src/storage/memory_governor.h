// The memory governor's vocabulary: what the engine measures of its memory
// (MemoryUsage), what one eviction pass did (EvictionReport), the usage
// sources the governor consults (MemoryProbe, replaceable in tests), and the
// pure pieces of a pass (scoring, choice of victims, freed-size estimate).
// Plain values and pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "src/record/engine_node.h"
#include "src/runtime/config.h"

namespace zv {

struct MemoryUsage {
  bool resident_known = false;
  uint64_t resident_bytes = 0;
  uint64_t estimated_bytes = 0;
  uint64_t index_len = 0;
  uint64_t cache_entries = 0;
  uint64_t evicted_total = 0;
  uint64_t evicted_bytes_total = 0;
  uint64_t memory_limit = 0;
  uint64_t sq8_vectors = 0;
};

struct EvictionReport {
  uint64_t evicted = 0;
  uint64_t candidates = 0;
  bool limit_exceeded = false;
};

// Where the governor reads usage. Empty functions mean the real sources:
// the process working set and StorageEngine::memory_usage.
struct MemoryProbe {
  std::function<std::optional<uint64_t>()> working_set;
  std::function<MemoryUsage()> usage;
};

// The value of a cached node; higher is kept longer.
double eviction_score(const EngineNode& node, const Config& config, uint64_t now_ms);
// Indices of the nodes one pass consolidates, lowest score first: NaN scores
// are never chosen, equal scores keep the given order, at least one when any
// candidate is scorable, max(fraction x n, 1) truncated.
std::vector<size_t> eviction_victims(const std::vector<EngineNode>& candidates,
                                     double fraction, const Config& config, uint64_t now_ms);
// The bytes a consolidated node is taken to free.
uint64_t evicted_size_estimate(const EngineNode& node);
// "Memory pressure: {} bytes used ({}% of {} limit, threshold {}%)".
std::string memory_pressure_message(uint64_t usage, uint64_t limit, double ratio);

}  // namespace zv
