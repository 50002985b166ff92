#include "tervik/version/run.h"

#include <algorithm>

#include "platform/panic.h"

namespace tervik {

std::optional<std::pair<size_t, size_t>> range_overlap_indexes(std::span<const Table> tables,
                                                               const UserKey& low,
                                                               const UserKey& high) {
  auto first_it = std::partition_point(tables.begin(), tables.end(), [&](const Table& t) {
    return table_max_key(t) < low;
  });
  if (first_it == tables.end()) return std::nullopt;
  auto end_it = std::partition_point(first_it, tables.end(), [&](const Table& t) {
    return table_min_key(t) <= high;
  });
  if (end_it == first_it) return std::nullopt;
  const size_t first = static_cast<size_t>(first_it - tables.begin());
  return std::make_pair(first, static_cast<size_t>(end_it - tables.begin()) - 1);
}

Run::Run(std::vector<Table> tables) : tables_(std::move(tables)) {
  ZV_CHECK(!tables_.empty(), kFatalRunEmpty);
}

std::optional<WindowCandidate> Run::window_candidate(const HiddenTableSet& hidden,
                                                     const Run& other,
                                                     std::span<const Table> window) {
  ZV_CHECK(!window.empty(), kFatalRunEmpty);
  for (const Table& t : window) {
    if (hidden.contains(table_id(t))) return std::nullopt;
  }
  const UserKey& lo = table_min_key(window.front());
  const UserKey& hi = table_max_key(window.back());

  const auto overlap = other.range_overlap_indexes(lo, hi);
  if (!overlap || overlap->second >= other.size()) return std::nullopt;
  const std::span<const Table> candidates(other.tables().data() + overlap->first,
                                                overlap->second - overlap->first + 1);
  const size_t n = candidates.size();
  auto inside = [&](const Table& t) {
    return lo <= table_min_key(t) && table_max_key(t) <= hi;
  };
  size_t j = 0;
  while (j < n && !inside(candidates[j])) ++j;
  size_t v = j;
  if (j < n) {
    v = n;
    while (!inside(candidates[v - 1])) --v;
  }
  ZV_CHECK(j <= v && v <= n, kFatalShouldBeInRange);
  if (v == j) return std::nullopt;

  const std::span<const Table> contained = candidates.subspan(j, v - j);
  uint64_t contained_bytes = 0;
  for (const Table& t : contained) contained_bytes += table_file_size(t);
  if (contained_bytes == 0) return std::nullopt;
  for (const Table& t : contained) {
    if (hidden.contains(table_id(t))) return std::nullopt;
  }
  uint64_t window_bytes = 0;
  for (const Table& t : window) window_bytes += table_file_size(t);
  return WindowCandidate{window, contained,
                         static_cast<float>(window_bytes) / static_cast<float>(contained_bytes),
                         window_bytes + contained_bytes};
}

}  // namespace tervik
