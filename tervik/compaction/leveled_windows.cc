#include "tervik/compaction/leveled_windows.h"

#include <algorithm>
#include <vector>

namespace tervik::compaction::leveled {

namespace {

bool is_hidden(const HiddenTableSet& hidden, const Table& t) {
  return !hidden.empty() && hidden.contains(table_id(t));
}

// True when some table of `next` intersects the keys strictly between
// max_key(left) and min_key(right): such a table overlaps every window that
// spans both.
bool gap_overlapped(const Run& next, const Table& left, const Table& right) {
  const auto& tables = next.tables();
  auto it = std::partition_point(tables.begin(), tables.end(), [&](const Table& t) {
    return table_max_key(t) <= table_max_key(left);
  });
  return it != tables.end() && table_min_key(*it) < table_min_key(right);
}

std::vector<uint64_t> prefix_sizes(const Run& run) {
  std::vector<uint64_t> sums(run.size() + 1, 0);
  for (size_t i = 0; i < run.size(); ++i) sums[i + 1] = sums[i] + table_file_size(run[i]);
  return sums;
}

// first[i] = the first index >= i of a hidden table of the run (size() when none).
std::vector<size_t> first_hidden_from(const Run& run, const HiddenTableSet& hidden) {
  std::vector<size_t> first(run.size() + 1, run.size());
  if (hidden.empty()) return first;
  for (size_t i = run.size(); i-- > 0;) {
    first[i] = is_hidden(hidden, run[i]) ? i : first[i + 1];
  }
  return first;
}

}  // namespace

std::optional<std::span<const Table>> trivial_window(const Run& current, const Run* next,
                                                     const HiddenTableSet& hidden) {
  // A window is accepted exactly when none of its tables is blocked (hidden
  // or overlapped) and no gap between two of its tables is overlapped: the
  // answer is the leftmost longest streak of such tables.
  const size_t n = current.size();
  size_t best_start = 0;
  size_t best_len = 0;
  size_t start = 0;
  size_t len = 0;
  for (size_t i = 0; i < n; ++i) {
    const Table& t = current[i];
    const bool blocked =
        is_hidden(hidden, t) ||
        (next != nullptr &&
         next->range_overlap_indexes(table_min_key(t), table_max_key(t)).has_value());
    if (blocked) {
      len = 0;
      continue;
    }
    if (len > 0 && next != nullptr && gap_overlapped(*next, current[i - 1], t)) len = 0;
    if (len == 0) start = i;
    ++len;
    if (len > best_len) {
      best_len = len;
      best_start = start;
    }
  }
  if (best_len == 0) return std::nullopt;
  return std::span<const Table>(current.tables().data() + best_start, best_len);
}

std::optional<MergeCandidate> cheapest_merge(const Run& current, const Run& next,
                                             const HiddenTableSet& hidden,
                                             uint64_t window_byte_limit) {
  const size_t m = next.size();
  const std::vector<uint64_t> next_sum = prefix_sizes(next);
  const std::vector<uint64_t> cur_sum = prefix_sizes(current);
  const std::vector<size_t> next_hidden = first_hidden_from(next, hidden);
  const std::vector<size_t> cur_hidden = first_hidden_from(current, hidden);
  auto window_bytes = [&](size_t s, size_t e) { return next_sum[e + 1] - next_sum[s]; };

  // The search ends at the first window over the limit in its order: size
  // `stop_size`, start `stop_start`. Every window of a smaller size is tried,
  // and those of that size that start before it.
  size_t stop_size = m + 1;
  size_t stop_start = m;
  for (size_t s = 0, e = 0; s < m; ++s) {
    // Smallest window from s over the limit: [s, e].
    if (e < s) e = s;
    while (e < m && window_bytes(s, e) <= window_byte_limit) ++e;
    if (e == m) break;  // no window from s (nor from any later start) is over
    const size_t size = e - s + 1;
    if (size < stop_size) {
      stop_size = size;
      stop_start = s;
    }
  }

  // The tables of current inside [min_key(next[s]), max_key(next[e])] are
  // [lo(s), hi(e)): lo depends on the window's start only, hi on its end.
  const auto& cur = current.tables();
  std::vector<size_t> hi(m);
  for (size_t e = 0; e < m; ++e) {
    hi[e] = static_cast<size_t>(
        std::partition_point(cur.begin(), cur.end(),
                             [&](const Table& t) { return table_max_key(t) <= table_max_key(next[e]); }) -
        cur.begin());
  }

  std::optional<MergeCandidate> best;
  size_t best_size = 0;
  for (size_t s = 0; s < m; ++s) {
    if (next_hidden[s] == s) continue;
    size_t last = m - 1;
    if (stop_size <= m) {
      const size_t tried = s < stop_start ? stop_size : stop_size - 1;
      if (tried == 0) continue;
      last = std::min(last, s + tried - 1);
    }
    if (next_hidden[s] < m) last = std::min(last, next_hidden[s] - 1);
    if (last < s) continue;

    const size_t lo = static_cast<size_t>(
        std::partition_point(cur.begin(), cur.end(),
                             [&](const Table& t) { return table_min_key(t) < table_min_key(next[s]); }) -
        cur.begin());
    // The cost grows with the window's end, so the smallest end whose pull-in
    // holds bytes is the start's best; a hidden pull-in table only gets
    // included by larger ends.
    auto holds_bytes = [&](size_t e) { return hi[e] > lo && cur_sum[hi[e]] > cur_sum[lo]; };
    size_t a = s;
    size_t b = last + 1;
    while (a < b) {
      const size_t mid = a + (b - a) / 2;
      if (holds_bytes(mid)) {
        b = mid;
      } else {
        a = mid + 1;
      }
    }
    if (a > last) continue;
    if (hi[a] > cur_hidden[lo]) continue;
    const uint64_t cost = window_bytes(s, a) + (cur_sum[hi[a]] - cur_sum[lo]);
    const size_t size = a - s + 1;
    if (best && (cost > best->total_bytes || (cost == best->total_bytes && size >= best_size))) {
      continue;
    }
    best = MergeCandidate{std::span<const Table>(next.tables().data() + s, size),
                          std::span<const Table>(cur.data() + lo, hi[a] - lo), cost};
    best_size = size;
  }
  return best;
}

}  // namespace tervik::compaction::leveled
