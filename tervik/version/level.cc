#include "tervik/version/level.h"

#include <algorithm>

namespace tervik {

size_t Level::table_count() const {
  size_t n = 0;
  for (const RunHandle& r : runs_) n += r->size();
  return n;
}

KeyBounds Level::aggregate_key_range() const {
  if (runs_.empty()) return {};
  KeyBounds out{runs_.front()->min_key(), runs_.front()->max_key()};
  for (size_t i = 1; i < runs_.size(); ++i) {
    if (runs_[i]->min_key() < out.min) out.min = runs_[i]->min_key();
    if (runs_[i]->max_key() > out.max) out.max = runs_[i]->max_key();
  }
  return out;
}

std::unordered_set<uint64_t> Level::list_ids() const {
  std::unordered_set<uint64_t> ids;
  ids.reserve(table_count());
  for (const RunHandle& r : runs_) {
    for (const Table& t : r->tables()) ids.insert(table_id(t));
  }
  return ids;
}

std::vector<uint64_t> Level::overlapping_table_ids(const UserKey& low,
                                                  const UserKey& high) const {
  std::vector<uint64_t> ids;
  for (const RunHandle& r : runs_) {
    const auto hit = r->range_overlap_indexes(low, high);
    if (!hit) continue;
    for (size_t i = hit->first; i <= hit->second; ++i) ids.push_back(table_id((*r)[i]));
  }
  return ids;
}

namespace {

// True when some table of the sorted, disjoint run intersects t's range.
bool run_overlaps(const std::vector<Table>& run, const Table& t) {
  return range_overlap_indexes(run, table_min_key(t), table_max_key(t)).has_value();
}

void insert_sorted(std::vector<Table>& run, Table t) {
  auto pos = std::upper_bound(run.begin(), run.end(), t, [](const Table& a, const Table& b) {
    return table_min_key(a) < table_min_key(b);
  });
  run.insert(pos, std::move(t));
}

}  // namespace

std::vector<std::vector<Table>> optimize_runs(std::vector<std::vector<Table>> runs) {
  if (runs.size() < 2) return runs;
  std::vector<std::vector<Table>> out;
  out.reserve(runs.size());
  for (std::vector<Table>& run : runs) {
    for (Table& t : run) {
      size_t target = 0;  // no overlap anywhere: the first run
      for (size_t i = out.size(); i-- > 0;) {
        if (run_overlaps(out[i], t)) {
          target = i + 1;
          break;
        }
      }
      if (target == out.size()) out.emplace_back();
      insert_sorted(out[target], std::move(t));
    }
  }
  return out;
}

LevelHandle make_level(std::vector<std::vector<Table>> runs) {
  std::vector<RunHandle> packed;
  for (std::vector<Table>& run : optimize_runs(std::move(runs))) {
    if (!run.empty()) packed.push_back(std::make_shared<const Run>(std::move(run)));
  }
  return std::make_shared<const Level>(std::move(packed));
}

}  // namespace tervik
