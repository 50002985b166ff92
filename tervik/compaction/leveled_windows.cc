#include "tervik/compaction/leveled_windows.h"

#include <algorithm>
#include <vector>

namespace tervik::compaction::leveled {

namespace {

bool is_hidden(const HiddenTableSet& hidden, const Table& t) {
  return !hidden.empty() && hidden.contains(table_id(t));
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
  // or overlapped by a next table) and no next table lies in a gap between
  // two of its tables (keys strictly between one's max and the other's min):
  // the answer is the leftmost longest streak of such tables. Both runs are
  // sorted, so one sweep over each finds every overlap.
  const size_t n = current.size();
  const size_t m = next != nullptr ? next->size() : 0;
  size_t best_start = 0;
  size_t best_len = 0;
  size_t start = 0;
  size_t len = 0;
  size_t p = 0;  // first next table whose max key >= the current table's min key
  size_t q = 0;  // first next table whose max key > the current table's max key
  for (size_t i = 0; i < n; ++i) {
    const Table& t = current[i];
    bool blocked = is_hidden(hidden, t);
    if (next != nullptr) {
      while (p < m && table_max_key((*next)[p]) < table_min_key(t)) ++p;
      blocked = blocked || (p < m && table_min_key((*next)[p]) <= table_max_key(t));
      if (len > 0 && q < m && table_min_key((*next)[q]) < table_min_key(t)) len = 0;  // gap i-1
      while (q < m && table_max_key((*next)[q]) <= table_max_key(t)) ++q;
    }
    if (blocked) {
      len = 0;
      continue;
    }
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
  const size_t n = current.size();
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
  // [lo[s], hi[e]): lo depends on the window's start only, hi on its end,
  // and both grow with it.
  std::vector<size_t> lo(m);
  std::vector<size_t> hi(m);
  for (size_t e = 0, j = 0, k = 0; e < m; ++e) {
    while (j < n && table_min_key(current[j]) < table_min_key(next[e])) ++j;
    while (k < n && table_max_key(current[k]) <= table_max_key(next[e])) ++k;
    lo[e] = j;
    hi[e] = k;
  }

  std::optional<MergeCandidate> best;
  size_t best_size = 0;
  // a = the smallest end from s on whose pull-in holds bytes; it grows with s.
  for (size_t s = 0, a = 0; s < m; ++s) {
    if (a < s) a = s;
    while (a < m && !(hi[a] > lo[s] && cur_sum[hi[a]] > cur_sum[lo[s]])) ++a;
    if (a == m) break;  // no later start holds bytes either
    if (next_hidden[s] == s) continue;
    // The cost grows with the window's end, so `a` is the start's best end,
    // if the search tries it and it takes no hidden table.
    size_t last = m - 1;
    if (stop_size <= m) {
      const size_t tried = s < stop_start ? stop_size : stop_size - 1;
      if (tried == 0) continue;
      last = std::min(last, s + tried - 1);
    }
    if (next_hidden[s] < m) last = std::min(last, next_hidden[s] - 1);
    if (a > last || hi[a] > cur_hidden[lo[s]]) continue;
    const uint64_t cost = window_bytes(s, a) + (cur_sum[hi[a]] - cur_sum[lo[s]]);
    const size_t size = a - s + 1;
    if (best && (cost > best->total_bytes || (cost == best->total_bytes && size >= best_size))) {
      continue;
    }
    best = MergeCandidate{std::span<const Table>(next.tables().data() + s, size),
                          std::span<const Table>(current.tables().data() + lo[s], hi[a] - lo[s]),
                          cost};
    best_size = size;
  }
  return best;
}

}  // namespace tervik::compaction::leveled
