// Leveled and FIFO choices over versions of any shape that the input
// describes (levels of runs of real tables over a small key grid, hidden
// tables, strategy settings). No choice may panic; a Move or Merge names
// tables of the version, none hidden unless it is the direct move of level 0
// into the last level, and the version transforms accept it; the window
// searches equal the window-by-window search.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/panic.h"
#include "platform/random.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"
#include "tervik/compaction/leveled_windows.h"
#include "tervik/compaction/testing/strategy_tables.h"
#include "tervik/version/testing/version_builders.h"

namespace {

using namespace tervik;
using namespace tervik::compaction;

constexpr int kKeys = 10;
constexpr int kPools = 16;  // one pool per (level, run) pair in use

struct Pools {
  Pools() : path("/tmp/zv-leveled-choose-fuzz-" + std::to_string(zv::os_random_u64())) {
    tervik::testing::StrategyTables maker(path);
    char lo[8];
    char hi[8];
    for (int p = 0; p < kPools; ++p) {
      for (int i = 0; i < kKeys; ++i) {
        for (int j = i; j < kKeys; ++j) {
          std::snprintf(lo, sizeof(lo), "k%d", i);
          std::snprintf(hi, sizeof(hi), "k%d", j);
          const uint64_t id = static_cast<uint64_t>(p * 100 + i * kKeys + j + 1);
          tables[p][i][j] = maker.make(id, lo, hi, (i * 7 + j * 3 + p) % 4 == 0 ? 60 : 1,
                                       static_cast<unsigned __int128>(id % 13));
        }
      }
    }
  }
  ~Pools() { (void)zv::fs::remove_dir_all(path); }
  std::string path;
  std::optional<Table> tables[kPools][kKeys][kKeys];
};

Pools& pools() {
  static Pools p;
  return p;
}

struct Bytes {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  uint8_t next() { return pos < size ? data[pos++] : 0; }
};

void check(bool ok, const std::string& what) {
  if (!ok) zv::panic("leveled choose fuzz: " + what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Pools& p = pools();
  Bytes in{data, size};
  std::vector<Table> tables;
  std::vector<tervik::testing::IdRuns> levels(7);
  HiddenTableSet hidden;
  int pool = 0;
  for (size_t level = 0; level < 7; ++level) {
    const int runs = in.next() % (level == 0 ? 4 : 3);
    for (int r = 0; r < runs && pool < kPools; ++r, ++pool) {
      std::vector<uint64_t>& run = levels[level].emplace_back();
      int pos = in.next() % 3;
      while (pos < kKeys) {
        const int end = std::min(kKeys - 1, pos + in.next() % 3);
        const Table& t = *p.tables[pool][pos][end];
        tables.push_back(t);
        run.push_back(t.id());
        if (in.next() % 8 == 0) hidden.insert(t.id());
        pos = end + 1 + in.next() % 3;
      }
      if (run.empty()) levels[level].pop_back();
    }
  }
  const Version v = tervik::testing::version_of(1, levels, tables);

  LeveledOptions o;
  o.l0_threshold = in.next() % 6;
  o.target_size = 1 + in.next() * 4;
  const int ratios = in.next() % 3;
  o.level_ratio_policy.clear();
  for (int i = 0; i < ratios; ++i) o.level_ratio_policy.push_back(0.5f + in.next() % 8);
  const Leveled leveled(o);
  static const TreeConfig config =
      TreeConfig::create(p.path, SeqNoCounter(0), SeqNoCounter(0));

  const Choice choice = leveled.choose(v, config, hidden);
  const Input* input = nullptr;
  if (const auto* m = std::get_if<Move>(&choice)) input = &m->input;
  if (const auto* m = std::get_if<Merge>(&choice)) input = &m->input;
  check(!std::holds_alternative<Drop>(choice), "leveled drop");
  if (input != nullptr) {
    check(!input->table_ids.empty(), "empty input");
    check(input->dest_level >= 1 && input->dest_level <= 6, "dest level");
    check(input->canonical_level >= 1 && input->canonical_level <= input->dest_level, "canonical");
    bool any_hidden = false;
    for (uint64_t id : input->table_ids) {
      check(v.find_table(id).has_value(), "unknown id " + std::to_string(id));
      any_hidden = any_hidden || hidden.contains(id);
    }
    const bool direct = input->dest_level == 6 && v.l0().run_count() == 1 &&
                        input->table_ids.size() == v.l0().table_count();
    check(!any_hidden || direct, "hidden table in " + debug_string(choice));
    if (std::holds_alternative<Move>(choice)) {
      const Version moved = v.with_moved(input->table_ids, input->dest_level);
      check(moved.table_count() == v.table_count(), "move lost tables");
    } else {
      const Version merged = v.with_merge(input->table_ids, {}, input->dest_level, std::nullopt, {}, {});
      check(merged.table_count() == v.table_count() - input->table_ids.size(), "merge count");
    }
  }

  // The searches over the first runs of two adjacent levels.
  for (size_t level = 1; level + 1 < 7; ++level) {
    if (levels[level].empty() || levels[level + 1].empty()) continue;
    const Run& cur = *v.levels()[level]->runs()[0];
    const Run& next = *v.levels()[level + 1]->runs()[0];
    const auto fast = leveled::cheapest_merge(cur, next, hidden, UINT64_MAX);
    std::optional<WindowCandidate> ref;
    for (size_t k = 1; k <= next.size(); ++k) {
      for (size_t s = 0; s + k <= next.size(); ++s) {
        auto c = Run::window_candidate(hidden, cur, std::span<const Table>(next.tables().data() + s, k));
        if (c && (!ref || c->total_bytes < ref->total_bytes)) ref = c;
      }
    }
    check(fast.has_value() == ref.has_value(), "merge search presence");
    if (fast) {
      check(fast->window.data() == ref->window.data() && fast->window.size() == ref->window.size() &&
                fast->total_bytes == ref->total_bytes,
            "merge search result");
    }
  }

  // FIFO over level 0 of any number of runs, with or without expiry.
  if (!hidden.empty()) {
    for (const RunHandle& r : v.l0().runs()) {
      for (const Table& t : r->tables()) hidden.erase(t.id());
    }
  }
  const Fifo fifo(in.next() * 8, in.next() % 3, [] { return 6'000'000'000; });
  const Choice f = fifo.choose(v, config, hidden);
  if (const auto* d = std::get_if<Drop>(&f)) {
    for (uint64_t id : d->table_ids) {
      bool in_l0 = false;
      for (const RunHandle& r : v.l0().runs()) {
        for (const Table& t : r->tables()) in_l0 = in_l0 || t.id() == id;
      }
      check(in_l0, "fifo drops outside level 0");
    }
  } else {
    check(std::holds_alternative<DoNothing>(f), "fifo neither drops nor does nothing");
  }
  return 0;
}
