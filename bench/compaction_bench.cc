// Compaction strategies: the leveled choice over versions of 100, 1,000 and
// 10,000 tables in seven levels of one shape (every level over its target,
// some tables hidden, each table of the chosen level overlapped by its next
// run, so that both window searches run in full), and the FIFO choice over
// the 10,000 tables in level 0. The leveled choice over 10,000 tables should
// cost at most 20 times the one over 1,000.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"
#include "tervik/compaction/testing/strategy_tables.h"
#include "tervik/version/testing/version_builders.h"

namespace {

using tervik::HiddenTableSet;
using tervik::Table;
using tervik::Version;
using tervik::compaction::Choice;
using tervik::compaction::Fifo;
using tervik::compaction::Leveled;
using tervik::testing::IdRuns;

constexpr uint64_t kKeySpace = 1'000'000'000;
// Share of the tables per level 1 to 6; level 0 holds two tables.
constexpr double kShare[] = {0.04, 0.08, 0.12, 0.16, 0.28, 0.32};

struct Shape {
  std::vector<Table> tables;
  std::vector<IdRuns> levels;
  std::optional<Version> version;
  HiddenTableSet hidden;
  uint64_t bytes = 0;
};

std::string key(uint64_t k) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "k%09llu", static_cast<unsigned long long>(k));
  return buf;
}

class Fixture {
 public:
  Fixture() : root_("/tmp/zv-compaction-bench-" + std::to_string(zv::os_random_u64())) {}
  ~Fixture() { (void)zv::fs::remove_dir_all(root_); }

  const Shape& shape(size_t n) {
    auto it = shapes_.find(n);
    if (it != shapes_.end()) return it->second;
    Shape& s = shapes_[n];
    tervik::testing::StrategyTables maker(zv::fs::join(root_, std::to_string(n)));
    uint64_t id = 1;
    s.levels.resize(7);
    for (int i = 0; i < 2; ++i) {
      s.tables.push_back(maker.make(id, key(0), key(kKeySpace - 1)));
      s.levels[0].push_back({id++});
    }
    for (size_t level = 1; level <= 6; ++level) {
      const uint64_t count = std::max<uint64_t>(2, static_cast<uint64_t>(n * kShare[level - 1]));
      const uint64_t slot = kKeySpace / count;
      IdRuns& runs = s.levels[level];
      runs.emplace_back();
      for (uint64_t j = 0; j < count; ++j) {
        // The last level tiles the key space; the others sit inside their
        // slot at level-dependent offsets, so each overlaps the next level.
        const uint64_t lo = j * slot + (level == 6 ? 0 : slot * level / 16);
        const uint64_t hi = j * slot + (level == 6 ? slot - 1 : slot * (level + 4) / 16);
        s.tables.push_back(maker.make(id, key(lo), key(hi)));
        if (level >= 5 && id % 37 == 0) s.hidden.insert(id);
        runs.back().push_back(id++);
      }
    }
    for (const Table& t : s.tables) s.bytes += tervik::table_file_size(t);
    s.version.emplace(tervik::testing::version_of(1, s.levels, s.tables));
    return s;
  }

  // Level targets of 1/60 of the data at every level: every level is over,
  // level 5 the most, and a merge window ends only past 50/60 of the data.
  static Leveled strategy(const Shape& s) {
    tervik::LeveledOptions o;
    o.l0_threshold = 1;
    o.target_size = s.bytes / 60;
    o.level_ratio_policy = {1.0f};
    return Leveled(o);
  }

  tervik::TreeConfig config() const {
    return tervik::TreeConfig::create(root_, tervik::SeqNoCounter(0), tervik::SeqNoCounter(0));
  }

 private:
  std::string root_;
  std::map<size_t, Shape> shapes_;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_LeveledChoose(benchmark::State& state) {
  const Shape& s = fixture().shape(static_cast<size_t>(state.range(0)));
  const Leveled strategy = Fixture::strategy(s);
  const tervik::TreeConfig config = fixture().config();
  const Choice first = strategy.choose(*s.version, config, s.hidden);
  const auto* merge = std::get_if<tervik::compaction::Merge>(&first);
  if (merge == nullptr || merge->input.dest_level != 6) {
    state.SkipWithError(("unexpected choice " + tervik::compaction::debug_string(first)).c_str());
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(strategy.choose(*s.version, config, s.hidden));
  state.counters["tables"] = static_cast<double>(s.tables.size());
}

void BM_FifoChoose(benchmark::State& state) {
  const Shape& s = fixture().shape(static_cast<size_t>(state.range(0)));
  // Every run of the shape as a level-0 run: keys written out of order.
  std::vector<IdRuns> l0(1);
  for (const IdRuns& level : s.levels) l0[0].insert(l0[0].end(), level.begin(), level.end());
  const Version v = tervik::testing::version_of(2, l0, s.tables);
  // A tenth of the tables has expired, and the rest is twice the limit.
  const unsigned __int128 now = s.tables[s.tables.size() / 10].meta().created_at + 1'000'000'000;
  const Fifo fifo(s.bytes / 2, 1, [now] { return now; });
  const tervik::TreeConfig config = fixture().config();
  const Choice first = fifo.choose(v, config, {});
  const auto* drop = std::get_if<tervik::compaction::Drop>(&first);
  if (drop == nullptr || drop->table_ids.size() < s.tables.size() / 3) {
    state.SkipWithError(("unexpected choice " + tervik::compaction::debug_string(first)).c_str());
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(fifo.choose(v, config, {}));
  state.counters["tables"] = static_cast<double>(s.tables.size());
  state.counters["dropped"] = static_cast<double>(drop->table_ids.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<int64_t> sizes =
      zv::bench::sized(std::vector<int64_t>{100, 1000, 10000}, std::vector<int64_t>{100, 1000});
  for (int64_t n : sizes) {
    benchmark::RegisterBenchmark("BM_LeveledChoose", BM_LeveledChoose)->Arg(n)->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("BM_FifoChoose", BM_FifoChoose)
      ->Arg(sizes.back())
      ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
