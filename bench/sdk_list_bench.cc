// Listing, counting and deleting by filter over one namespace of 100,000
// records (10 metadata fields, 384-dim vectors, 200-byte payloads), in
// memory mode and in directory mode (the durable test backend standing in
// for the key-value engine), each beside its parts measured alone:
//   - count, without filter and with an Eq filter matching 10%, vs the index
//     walk, get_many of the same ids in groups of 1,000 and the record
//     decoding; and the count as a cursor loop of public list pages of
//     1,000, whose every page re-walks the entries before its cursor;
//   - list of 100 records at cursor 0 vs get_many of the same 100 ids plus
//     their decoding; a page at cursor 90,000 beside it;
//   - delete_by_filter of 10,000 records vs the same records deleted one by
//     one through the single delete (per record), in a database of their own.
// Rows are named <operation>/<mode>; "Part_" rows are the parts.
#include <benchmark/benchmark.h>

#include <optional>

#include "bench/bench_dir.h"
#include "bench/bench_smoke.h"
#include "src/backends/testing/durable_test_backend.h"
#include "src/record/node_key.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/index_walker.h"
#include "src/sdk/record_index.h"

namespace {

using namespace zv;

constexpr size_t kDim = 384;
constexpr std::string_view kNs = "bench";

MemoryRecord bench_record(size_t i, std::string_view ns = kNs) {
  MemoryRecord r;
  r.ns = std::string(ns);
  char key[32];
  std::snprintf(key, sizeof key, "key-%07zu", i);
  r.key = key;
  r.node_id = record_node_id(r.ns, r.key);
  r.payload = std::string(200, static_cast<char>('a' + i % 26));
  r.metadata = {{"bucket", FieldValue::integer(static_cast<int64_t>(i % 10))},
                {"kind", FieldValue::string("note")},
                {"score", FieldValue::floating(0.5 * static_cast<double>(i % 7))},
                {"count", FieldValue::integer(static_cast<int64_t>(i))},
                {"flag", FieldValue::boolean(i % 2 == 0)},
                {"owner", FieldValue::string("someone@example")},
                {"source", FieldValue::string("benchmark")},
                {"priority", FieldValue::integer(3)},
                {"tags", FieldValue::list_string({"a", "b"})},
                {"lang", FieldValue::string("en")}};
  std::vector<float> v(kDim);
  for (size_t d = 0; d < kDim; ++d) v[d] = 0.001f * static_cast<float>((i + d) % 997) + 0.0001f;
  r.vector = std::move(v);
  r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1;
  r.version = 1;
  return r;
}

// One record write as the SDK's writers make it.
void store(StorageEngine& engine, const MemoryRecord& r) {
  text::RecordWriteLock gate(engine.index_locks.gate);
  if (!engine.insert(r.into_node()).ok() || !apply_record_change(engine, nullptr, &r).ok()) std::abort();
}

struct Db {
  std::optional<bench::ScratchDir> dir;
  std::optional<EmbeddedDb> db;
  std::shared_ptr<StorageEngine> engine;
  size_t records = 0;

  Db(bool directory, size_t preload) {
    Config c;
    c.wal_sync_mode = 2;  // the read paths are measured, not the log's syncs
    EngineOpenSeams seams;
    if (directory) {
      dir.emplace("sdk_list_bench_");
      c.storage_path = dir->path;
      c.backend = BackendKind::kMorva;
      seams.factories = testing::durable_factory_table();
    } else {
      c.backend = BackendKind::kInMemory;
    }
    auto opened = EmbeddedDb::open_with_config(c, seams);
    if (!opened.ok()) std::abort();
    db.emplace(std::move(opened).value());
    engine = *db->engine();
    records = preload;
    for (size_t i = 0; i < records; ++i) store(*engine, bench_record(i));
  }
};

Db& db_of(bool directory) {
  if (!directory) {
    static Db memory(false, bench::sized<size_t>(100000, 2000));
    return memory;
  }
  static Db dir(true, bench::sized<size_t>(100000, 2000));
  return dir;
}

// The delete rows work on a database of their own records.
Db& delete_db_of(bool directory) {
  if (!directory) {
    static Db memory(false, 0);
    return memory;
  }
  static Db dir(true, 0);
  return dir;
}

const std::vector<MemoryFilterItem> kTenth = {{"bucket", FilterOp::kEq, FieldValue::integer(3)}};

MemoryListOptions count_options(bool filtered) {
  MemoryListOptions o;
  o.limit = 1000;
  if (filtered) o.filter_ops = kTenth;
  o.include_quarantined = true;
  return o;
}

std::vector<NodeId> walk_ids(Db& f, const MemoryListOptions& o) {
  std::vector<NodeId> all;
  auto walker = IndexIdWalker::open(*f.engine->backend, kNs, choose_candidate_source(kNs, o), o.limit);
  for (;;) {
    auto group = walker->next_group();
    all.insert(all.end(), group->begin(), group->end());
    if (group->size() < o.limit) return all;
  }
}

void BM_Count(benchmark::State& state, bool directory, bool filtered) {
  Db& f = db_of(directory);
  const std::optional<std::vector<MemoryFilterItem>> items =
      filtered ? std::optional(kTenth) : std::nullopt;
  uint64_t n = 0;
  for (auto _ : state) {
    n = *f.db->count(kNs, items);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_Part_IndexWalk(benchmark::State& state, bool directory, bool filtered) {
  Db& f = db_of(directory);
  const MemoryListOptions o = count_options(filtered);
  size_t n = 0;
  for (auto _ : state) {
    n = walk_ids(f, o).size();
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_Part_GetMany(benchmark::State& state, bool directory, bool filtered) {
  Db& f = db_of(directory);
  const std::vector<NodeId> ids = walk_ids(f, count_options(filtered));
  for (auto _ : state) {
    for (size_t at = 0; at < ids.size(); at += 1000) {
      const size_t len = std::min<size_t>(1000, ids.size() - at);
      auto nodes = f.engine->get_many(std::span(ids).subspan(at, len));
      benchmark::DoNotOptimize(nodes);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ids.size()));
}

void BM_Part_Decode(benchmark::State& state, bool directory, bool filtered) {
  Db& f = db_of(directory);
  const std::vector<NodeId> ids = walk_ids(f, count_options(filtered));
  const std::vector<EngineNode> nodes = *f.engine->get_many(ids);
  for (auto _ : state) {
    for (const EngineNode& n : nodes) {
      auto r = MemoryRecord::from_node(n, true);
      benchmark::DoNotOptimize(r);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * nodes.size()));
}

// The count as a cursor loop of public list pages.
void BM_CountByListPages(benchmark::State& state, bool directory, bool filtered) {
  Db& f = db_of(directory);
  uint64_t n = 0;
  for (auto _ : state) {
    MemoryListOptions o = count_options(filtered);
    n = 0;
    for (;;) {
      auto page = f.db->list(kNs, o);
      n += page->records.size();
      if (!page->next_cursor) break;
      o.cursor = page->next_cursor;
    }
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

MemoryListOptions page_options(uint64_t cursor) {
  MemoryListOptions o;
  o.limit = 100;
  o.cursor = cursor;
  return o;
}

void BM_List100(benchmark::State& state, bool directory, uint64_t cursor) {
  Db& f = db_of(directory);
  const uint64_t at = std::min<uint64_t>(cursor, f.records - 100);
  for (auto _ : state) {
    auto page = f.db->list(kNs, page_options(at));
    benchmark::DoNotOptimize(page);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 100));
}

void BM_Part_List100GetManyDecode(benchmark::State& state, bool directory) {
  Db& f = db_of(directory);
  std::vector<NodeId> ids = walk_ids(f, count_options(false));
  ids.resize(100);
  for (auto _ : state) {
    auto nodes = f.engine->get_many(ids);
    for (const EngineNode& n : *nodes) {
      auto r = MemoryRecord::from_node(n, true);
      benchmark::DoNotOptimize(r);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 100));
}

constexpr std::string_view kDelNs = "doomed";

// Stores the records the delete rows remove, untimed.
size_t refill(benchmark::State& state, Db& f) {
  state.PauseTiming();
  const size_t n = bench::sized<size_t>(10000, 200);
  for (size_t i = 0; i < n; ++i) store(*f.engine, bench_record(i, kDelNs));
  state.ResumeTiming();
  return n;
}

void BM_DeleteByFilter(benchmark::State& state, bool directory) {
  Db& f = delete_db_of(directory);
  size_t n = 0;
  for (auto _ : state) {
    n = refill(state, f);
    auto deleted = f.db->delete_by_filter(kDelNs, {{"kind", FilterOp::kEq, FieldValue::string("note")}});
    if (!deleted.ok() || *deleted != n) std::abort();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_SingleDeletes(benchmark::State& state, bool directory) {
  Db& f = delete_db_of(directory);
  size_t n = 0;
  for (auto _ : state) {
    n = refill(state, f);
    for (size_t i = 0; i < n; ++i) {
      auto deleted = f.db->del(kDelNs, bench_record(i, kDelNs).key);
      if (!deleted.ok() || !*deleted) std::abort();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void register_all() {
  for (bool directory : {false, true}) {
    const std::string mode = directory ? "/directory" : "/memory";
    for (bool filtered : {false, true}) {
      const std::string what = (filtered ? "Eq10pct" : "All") + mode;
      benchmark::RegisterBenchmark(("Count_" + what).c_str(), BM_Count, directory, filtered)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("Part_IndexWalk_" + what).c_str(), BM_Part_IndexWalk, directory, filtered)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("Part_GetMany1000_" + what).c_str(), BM_Part_GetMany, directory, filtered)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("Part_Decode_" + what).c_str(), BM_Part_Decode, directory, filtered)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("CountByListPages_" + what).c_str(), BM_CountByListPages, directory, filtered)
          ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark(("List100_Cursor0" + mode).c_str(), BM_List100, directory, uint64_t{0})
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("Part_List100_GetManyDecode" + mode).c_str(), BM_Part_List100GetManyDecode,
                                 directory)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("List100_Cursor90000" + mode).c_str(), BM_List100, directory, uint64_t{90000})
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("DeleteByFilter10000" + mode).c_str(), BM_DeleteByFilter, directory)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(2);
    benchmark::RegisterBenchmark(("SingleDeletes10000" + mode).c_str(), BM_SingleDeletes, directory)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(2);
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
