// Keyword search against SQLite FTS5 on the same documents and queries, one
// thread, top 10. The documents and queries come from files named by
// ZV_KEYWORD_DOCS and ZV_KEYWORD_QUERIES (one per line; bench/search_bench.py
// builds them); without them a synthetic corpus from a fixed seed is used.
// One iteration is one pass over every query. Counters: queries per second,
// p50 and p99 microseconds, postings scored per second, nodes read and hits
// per query, top-10 overlap with FTS5, and the build time of each side.
// ZV_KEYWORD_OUT names a file that receives every query's top-10 keys (ours).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/memory_record.h"
#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/runtime/filter_bitset.h"
#include "src/runtime/operational_counters.h"
#include "src/search/keyword_stage.h"
#include "src/text/text_codecs.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"
#include "src/text/text_tokenizer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Counts node records read in batches; everything else passes through.
class CountingBackend final : public zv::StorageBackend {
 public:
  std::atomic<uint64_t> nodes_read{0};
  zv::ZolvaResult<std::vector<zv::KvPair>> scan_all(zv::Partition p) override { return inner.scan_all(p); }
  zv::ZolvaResult<std::unique_ptr<zv::PrefixIter>> prefix_iter(zv::Partition p, std::string_view x) override {
    return inner.prefix_iter(p, x);
  }
  zv::ZolvaStatus put(zv::Partition p, std::string_view k, std::string_view v) override {
    return inner.put(p, k, v);
  }
  zv::ZolvaResult<std::optional<std::string>> get(zv::Partition p, std::string_view k) override {
    return inner.get(p, k);
  }
  zv::ZolvaResult<std::vector<zv::KvPair>> multi_get(zv::Partition p,
                                                    std::span<const std::string> keys) override {
    if (p == zv::Partition::kDefault) nodes_read += keys.size();
    return inner.multi_get(p, keys);
  }
  zv::ZolvaStatus del(zv::Partition p, std::string_view k) override { return inner.del(p, k); }
  zv::ZolvaStatus write_batch(std::vector<zv::BatchOp> ops) override { return inner.write_batch(std::move(ops)); }
  zv::ZolvaStatus flush() override { return inner.flush(); }
  uint64_t limit_hint() const override { return inner.limit_hint(); }
  zv::InMemoryBackend inner;
};

struct Corpus {
  std::vector<std::string> docs;
  std::vector<std::string> queries;
};

std::vector<std::string> read_lines(const char* path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

Corpus synthetic() {
  Corpus c;
  std::mt19937 rng(42);
  std::vector<std::string> vocab;
  for (int i = 0; i < 3000; ++i) vocab.push_back("w" + std::to_string(i));
  // Zipf-like: the square of a uniform pick favours low ranks.
  auto word = [&] {
    const double u = std::uniform_real_distribution<double>(0, 1)(rng);
    return vocab[static_cast<size_t>(u * u * u * static_cast<double>(vocab.size()))];
  };
  const int n = zv::bench::sized(20000, 600);
  for (int i = 0; i < n; ++i) {
    const int len = 50 + static_cast<int>(rng() % 251);
    std::string d;
    for (int w = 0; w < len; ++w) d += (w ? " " : "") + word();
    c.docs.push_back(std::move(d));
  }
  const int nq = zv::bench::sized(1000, 50);
  for (int i = 0; i < nq; ++i) {
    std::string q;
    for (int w = 0, k = 1 + static_cast<int>(rng() % 3); w < k; ++w) q += (w ? " " : "") + word();
    c.queries.push_back(std::move(q));
  }
  return c;
}

const Corpus& corpus() {
  static const Corpus c = [] {
    const char* docs = std::getenv("ZV_KEYWORD_DOCS");
    const char* queries = std::getenv("ZV_KEYWORD_QUERIES");
    if (docs && queries && !zv::bench::smoke()) return Corpus{read_lines(docs), read_lines(queries)};
    return synthetic();
  }();
  return c;
}

std::string key_of(size_t i) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%08zu", i);
  return buf;
}

// Our side: a memory-mode engine holding every document, its text entries
// written in one batch the way the index lays them out.
struct Ours {
  std::shared_ptr<CountingBackend> backend;
  std::shared_ptr<zv::StorageEngine> engine;
  double build_s = 0;
};

const Ours& ours() {
  static const Ours o = [] {
    Ours o;
    const auto start = Clock::now();
    o.backend = std::make_shared<CountingBackend>();
    zv::Config config;
    config.backend = zv::BackendKind::kInMemory;
    zv::EngineParts parts = zv::StorageEngine::memory_mode_parts(std::move(config));
    parts.backend = o.backend;
    o.engine = zv::StorageEngine::assemble(std::move(parts));
    zv::StorageEngine& e = *o.engine;
    std::vector<zv::BatchOp> ops;
    std::map<std::string, uint64_t> df;
    uint64_t total = 0;
    const auto& docs = corpus().docs;
    for (size_t i = 0; i < docs.size(); ++i) {
      zv::MemoryRecord r;
      r.ns = "bench";
      r.key = key_of(i);
      r.payload = docs[i];
      r.node_id = i + 1;
      r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1;
      r.version = 1;
      const zv::EngineNode node = r.into_node();
      uint64_t offset = 0;
      {
        auto lock = e.lock_segment0();
        offset = *e.segments[0]->file.append_node(node);
      }
      (void)e.vector_index()->add(node.id, zv::FilterBitset(node.bitset), node.vector, offset);
      ops.push_back(zv::BatchOp::put(zv::Partition::kDefault, zv::node_key(node.id),
                                     zv::encode_node_metadata(zv::node_metadata_of(node, 1))));
      const zv::text::TextTokenStats stats = zv::text::token_stats(r.payload);
      for (const auto& [t, tf] : stats.term_frequencies) {
        ops.push_back(zv::BatchOp::put(zv::Partition::kTextIndex, zv::text::posting_key(r.ns, t, r.key),
                                       zv::text::encode_text_posting(r.node_id, tf, stats.positions.at(t))));
        ++df[t];
      }
      ops.push_back(zv::BatchOp::put(zv::Partition::kTextIndex, zv::text::doc_stats_key(r.ns, r.key),
                                     zv::text::encode_doc_stats(r.node_id, stats.doc_len)));
      total += stats.doc_len;
    }
    for (const auto& [t, n] : df) {
      ops.push_back(zv::BatchOp::put(zv::Partition::kTextIndex, zv::text::term_stats_key("bench", t),
                                     zv::text::encode_term_stats(n)));
    }
    ops.push_back(zv::BatchOp::put(zv::Partition::kTextIndex, zv::text::namespace_stats_key("bench"),
                                   zv::text::encode_namespace_stats(docs.size(), total)));
    ops.push_back(zv::BatchOp::put(zv::Partition::kInternalMetadata, std::string(zv::text::kTextIndexStateKey),
                                   zv::text::TextIndexState::create(docs.size(), 0, 0, 0, 0).encode()));
    if (!o.backend->write_batch(std::move(ops)).ok()) std::abort();
    o.build_s = std::chrono::duration<double>(Clock::now() - start).count();
    return o;
  }();
  return o;
}

// FTS5 side: an in-memory table with the ascii tokenizer, rowid = index + 1.
struct Fts5 {
  sqlite3* db = nullptr;
  sqlite3_stmt* query = nullptr;
  double build_s = 0;
};

const Fts5& fts5() {
  static const Fts5 f = [] {
    Fts5 f;
    const auto start = Clock::now();
    sqlite3_open(":memory:", &f.db);
    sqlite3_exec(f.db, "CREATE VIRTUAL TABLE docs USING fts5(body, tokenize='ascii')", nullptr, nullptr,
                 nullptr);
    sqlite3_exec(f.db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(f.db, "INSERT INTO docs(rowid, body) VALUES (?, ?)", -1, &ins, nullptr);
    const auto& docs = corpus().docs;
    for (size_t i = 0; i < docs.size(); ++i) {
      sqlite3_bind_int64(ins, 1, static_cast<int64_t>(i + 1));
      sqlite3_bind_text(ins, 2, docs[i].data(), static_cast<int>(docs[i].size()), SQLITE_STATIC);
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(f.db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(f.db,
                       "SELECT rowid FROM docs WHERE docs MATCH ? ORDER BY bm25(docs), rowid LIMIT 10", -1,
                       &f.query, nullptr);
    f.build_s = std::chrono::duration<double>(Clock::now() - start).count();
    return f;
  }();
  return f;
}

// Plain words OR-ed, each quoted so that none reads as an operator.
std::string fts5_match(const std::string& q) {
  std::string out;
  zv::text::for_each_token(q, [&](std::string_view t) {
    if (!out.empty()) out += " OR ";
    out += '"';
    out += t;
    out += '"';
  });
  return out;
}

std::vector<std::string> fts5_top10(const std::string& q) {
  const Fts5& f = fts5();
  std::vector<std::string> keys;
  const std::string m = fts5_match(q);
  sqlite3_bind_text(f.query, 1, m.data(), static_cast<int>(m.size()), SQLITE_TRANSIENT);
  while (sqlite3_step(f.query) == SQLITE_ROW) keys.push_back(key_of(static_cast<size_t>(sqlite3_column_int64(f.query, 0) - 1)));
  sqlite3_reset(f.query);
  return keys;
}

std::vector<std::string> ours_top10(const std::string& q) {
  auto hits = zv::search::text_query(*ours().engine, "bench", q, {}, 10);
  if (!hits.ok()) std::abort();
  std::vector<std::string> keys;
  for (const zv::SearchHit& h : *hits) keys.push_back(h.record.key);
  return keys;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

template <class Fn>
void run_passes(benchmark::State& state, Fn&& top10) {
  const auto& queries = corpus().queries;
  std::vector<double> us;
  uint64_t hits = 0;
  for (auto _ : state) {
    us.clear();
    hits = 0;
    for (const std::string& q : queries) {
      const auto t0 = Clock::now();
      auto keys = top10(q);
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
      hits += keys.size();
      benchmark::DoNotOptimize(keys);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * queries.size()));
  state.counters["p50_us"] = percentile(us, 0.5);
  state.counters["p99_us"] = percentile(us, 0.99);
  state.counters["hits_per_query"] = static_cast<double>(hits) / static_cast<double>(queries.size());
}

void BM_KeywordOurs(benchmark::State& state) {
  const Ours& o = ours();
  auto& scored = zv::OperationalCounters::global().text_candidates_scored;
  const uint64_t scored0 = scored.read();
  const uint64_t read0 = o.backend->nodes_read.load();
  const auto t0 = Clock::now();
  run_passes(state, ours_top10);
  const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  const double queries = static_cast<double>(state.iterations() * corpus().queries.size());
  state.counters["postings_per_s"] = static_cast<double>(scored.read() - scored0) / secs;
  state.counters["nodes_per_query"] = static_cast<double>(o.backend->nodes_read.load() - read0) / queries;
  state.counters["build_s"] = o.build_s;
  state.counters["docs"] = static_cast<double>(corpus().docs.size());
  // Top-10 overlap with FTS5 and, when asked, every query's keys.
  double overlap = 0;
  std::ofstream out;
  if (const char* path = std::getenv("ZV_KEYWORD_OUT")) out.open(path);
  for (const std::string& q : corpus().queries) {
    auto a = ours_top10(q);
    auto b = fts5_top10(q);
    std::set<std::string> sb(b.begin(), b.end());
    size_t common = 0;
    for (const auto& k : a) common += sb.count(k);
    overlap += b.empty() && a.empty() ? 1.0 : static_cast<double>(common) / static_cast<double>(std::max(a.size(), b.size()));
    if (out) {
      for (size_t i = 0; i < a.size(); ++i) out << (i ? " " : "") << a[i];
      out << "\n";
    }
  }
  state.counters["overlap_fts5"] = overlap / static_cast<double>(corpus().queries.size());
}

void BM_KeywordFts5(benchmark::State& state) {
  state.counters["build_s"] = fts5().build_s;
  run_passes(state, fts5_top10);
}

BENCHMARK(BM_KeywordOurs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_KeywordFts5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
