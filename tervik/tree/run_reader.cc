#include "tervik/tree/run_reader.h"

#include <algorithm>

#include "platform/panic.h"
#include "tervik/core/fatal.h"
#include "tervik/version/table_attributes.h"

namespace tervik {

std::optional<RunReader> RunReader::create(RunHandle run, const KeyRange& bounds) {
  const std::vector<Table>& tables = run->tables();
  if (tables.empty()) zv::panic(kFatalEmptyLevelReader);
  // Tables wholly below the lower bound lead the run (max keys ascend).
  auto below = [&](const Table& t) {
    const UserKey& max = table_max_key(t);
    switch (bounds.lo.kind) {
      case BoundKind::kIncluded: return max.compare(bounds.lo.key) < 0;
      case BoundKind::kExcluded: return max.compare(bounds.lo.key) <= 0;
      case BoundKind::kUnbounded: return false;
    }
    return false;
  };
  const auto lo = std::partition_point(tables.begin(), tables.end(), below);
  if (lo == tables.end()) return std::nullopt;
  // From there, the tables that may hold keys below the upper bound.
  auto reaches = [&](const Table& t) {
    const UserKey& min = table_min_key(t);
    switch (bounds.hi.kind) {
      case BoundKind::kIncluded: return min.compare(bounds.hi.key) <= 0;
      case BoundKind::kExcluded: return min.compare(bounds.hi.key) < 0;
      case BoundKind::kUnbounded: return true;
    }
    return true;
  };
  const auto end = std::partition_point(lo, tables.end(), reaches);
  if (end == lo) return std::nullopt;
  const auto first = static_cast<size_t>(lo - tables.begin());
  const auto last = static_cast<size_t>(end - tables.begin()) - 1;
  return RunReader(std::move(run), first, last, bounds);
}

RunReader::RunReader(RunHandle run, size_t lo, size_t hi, const KeyRange& bounds)
    : run_(std::move(run)), lo_(lo), hi_(hi), first_(lo), last_(hi) {
  if (hi_ >= run_->size()) zv::panic(kFatalShouldExist);
  lo_reader_.emplace((*run_)[lo_].range(bounds.lo, bounds.hi));
  ++opened_;
  if (hi_ > lo_) {
    hi_reader_.emplace((*run_)[hi_].range(bounds.lo, bounds.hi));
    ++opened_;
  }
}

TableIter RunReader::open_whole(size_t index) {
  if (index >= run_->size()) zv::panic(kFatalShouldExist);
  ++opened_;
  return (*run_)[index].iter();
}

ReadItem RunReader::next() {
  while (lo_reader_) {
    if (ReadItem item = lo_reader_->next()) return item;
    lo_reader_.reset();
    ++lo_;
    if (lo_ < hi_) lo_reader_.emplace(open_whole(lo_));
  }
  // The front has reached the table the back reads: it goes on there.
  if (hi_reader_) return hi_reader_->next();
  return std::nullopt;
}

ReadItem RunReader::next_back() {
  while (hi_reader_) {
    if (ReadItem item = hi_reader_->next_back()) return item;
    hi_reader_.reset();
    --hi_;
    if (hi_ > lo_) hi_reader_.emplace(open_whole(hi_));
  }
  if (lo_reader_) return lo_reader_->next_back();
  return std::nullopt;
}

}  // namespace tervik
