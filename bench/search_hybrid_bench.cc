// The search driver against its bare stages and across threads (memory
// mode): keyword-only and vector-only searches through search_impl beside
// the keyword and dense stages alone with the same count (the driver's
// overhead, target at most 1.1x), and the hybrid search (a text and a
// vector, top_k 10, each stage asked for 40, the dense stage's index for
// 400) on 1 and 8 threads sharing one engine.
// Corpus (fixed seed): 20,000 documents of 50 to 300 words drawn from a
// Zipf law over a 5,000-word vocabulary; each document and query gets a
// 256-dim vector by signed feature hashing of its words, L2-normalised;
// queries of 1 to 3 words drawn from the documents. ZV_HYBRID_DOCS
// overrides the document count.
// bench/search_bench.py runs it on its own corpus instead: documents and
// queries one a line (ZV_HYBRID_DOCS_FILE, ZV_HYBRID_QUERIES_FILE, keys the
// zero-padded line numbers) and their vectors as raw f32, documents first
// (ZV_HYBRID_VECTORS); with ZV_HYBRID_OUT it also writes, per query, the
// fused top 10 and the keyword and dense stage lists (40 each) the fusion
// took, so the runner can check the fusion against its own.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "src/search/dense_stage.h"
#include "src/search/driver.h"
#include "src/search/keyword_stage.h"
#include "src/storage/storage_engine.h"
#include "src/text/record_change.h"
#include "src/text/text_index_state.h"

namespace {

using namespace zv;

constexpr size_t kDim = 256;
constexpr uint32_t kVocab = 5000;

std::string word(uint32_t w) { return "w" + std::to_string(w); }

std::vector<float> hashed_vector(const std::vector<uint32_t>& words) {
  std::vector<float> v(kDim, 0.0f);
  for (uint32_t w : words) {
    uint64_t h = (w + 1) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
    v[h % kDim] += (h >> 63) ? 1.0f : -1.0f;
  }
  float n = 0;
  for (float x : v) n += x * x;
  n = std::sqrt(n);
  if (n > 0) {
    for (float& x : v) x /= n;
  }
  return v;
}

// An engine holding an empty text index, in memory.
std::shared_ptr<StorageEngine> empty_engine() {
  Config config;
  config.backend = BackendKind::kInMemory;
  auto engine = StorageEngine::assemble(StorageEngine::memory_mode_parts(config));
  (void)engine->backend->put(Partition::kInternalMetadata, text::kTextIndexStateKey,
                             text::TextIndexState::create(0, 0, 0, 0, 0).encode());
  return engine;
}

// Stores one document with its text indexed, as a put would.
void add_document(StorageEngine& e, size_t i, const char* key, std::string payload,
                  std::vector<float> vector) {
  MemoryRecord r;
  r.ns = "bench";
  r.key = key;
  r.node_id = i + 1;
  r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1;
  r.version = 1;
  r.payload = std::move(payload);
  r.vector = std::move(vector);
  if (!e.insert(r.into_node()).ok()) std::abort();
  text::RecordWriteLock gate(e.index_locks.gate);
  if (!text::apply_record_change(text::TextIndexTarget{*e.backend, e, e.text_stats, e.index_locks},
                                 nullptr, &r)
           .ok()) {
    std::abort();
  }
}

struct Corpus {
  std::shared_ptr<StorageEngine> engine;
  std::vector<std::string> texts;
  std::vector<std::vector<float>> vectors;

  Corpus() {
    if (std::getenv("ZV_HYBRID_DOCS_FILE") != nullptr) {
      load_files();
      return;
    }
    size_t docs = bench::sized<size_t>(20000, 1000);
    if (const char* n = std::getenv("ZV_HYBRID_DOCS")) docs = std::strtoull(n, nullptr, 10);
    engine = empty_engine();
    std::mt19937_64 rng(20261211);
    std::vector<double> cdf(kVocab);
    double sum = 0;
    for (uint32_t r = 0; r < kVocab; ++r) cdf[r] = (sum += 1.0 / (r + 1.0));
    auto draw = [&] {
      const double u = std::uniform_real_distribution<double>(0, sum)(rng);
      return uint32_t(std::lower_bound(cdf.begin(), cdf.end(), u) - cdf.begin());
    };
    std::vector<std::vector<uint32_t>> kept;
    for (size_t i = 0; i < docs; ++i) {
      std::vector<uint32_t> words(50 + rng() % 251);
      for (uint32_t& w : words) w = draw();
      char key[32];
      std::snprintf(key, sizeof key, "d%08zu", i);
      std::string payload;
      for (uint32_t w : words) payload += word(w) + " ";
      add_document(*engine, i, key, std::move(payload), hashed_vector(words));
      if (i < 1000) kept.push_back(std::move(words));
    }
    std::mt19937_64 qrng(7);
    for (int q = 0; q < 500; ++q) {
      const auto& doc = kept[qrng() % kept.size()];
      std::vector<uint32_t> words(1 + qrng() % 3);
      std::string text;
      for (uint32_t& w : words) {
        w = doc[qrng() % doc.size()];
        text += word(w) + " ";
      }
      texts.push_back(text);
      vectors.push_back(hashed_vector(words));
    }
  }

  static std::vector<std::string> lines_of(const char* path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    if (out.empty()) std::abort();
    return out;
  }

  void load_files() {
    const std::vector<std::string> docs = lines_of(std::getenv("ZV_HYBRID_DOCS_FILE"));
    texts = lines_of(std::getenv("ZV_HYBRID_QUERIES_FILE"));
    const char* vpath = std::getenv("ZV_HYBRID_VECTORS");
    if (vpath == nullptr) std::abort();
    std::ifstream vin(vpath, std::ios::binary);
    auto next_vector = [&] {
      std::vector<float> v(kDim);
      if (!vin.read(reinterpret_cast<char*>(v.data()), std::streamsize(kDim * sizeof(float)))) {
        std::abort();
      }
      return v;
    };
    engine = empty_engine();
    for (size_t i = 0; i < docs.size(); ++i) {
      char key[32];
      std::snprintf(key, sizeof key, "%08zu", i);
      add_document(*engine, i, key, docs[i], next_vector());
    }
    for (size_t q = 0; q < texts.size(); ++q) vectors.push_back(next_vector());
  }
};

Corpus& corpus() {
  static Corpus* c = new Corpus();
  return *c;
}

search::SearchContext context() {
  return search::SearchContext{[]() -> ZolvaResult<std::shared_ptr<StorageEngine>> {
                                 return corpus().engine;
                               },
                               std::nullopt};
}

SearchRequest request(size_t q, bool text, bool vector) {
  SearchRequest r;
  r.ns = "bench";
  r.top_k = 10;
  r.include_quarantined = true;
  if (text) r.text_query = corpus().texts[q];
  if (vector) r.query_vector = corpus().vectors[q];
  r.search_profile = SearchProfileConfig{SearchMode::kHybrid, std::nullopt, 40};
  return r;
}

void write_keys(std::ofstream& out, const std::vector<SearchHit>& hits) {
  for (size_t i = 0; i < hits.size(); ++i) out << (i ? " " : "") << hits[i].record.key;
}

// Per query: the fused top 10, the keyword stage's list and the dense
// stage's list, tab-separated, keys space-separated.
void write_lists(const char* path) {
  Corpus& c = corpus();
  const search::SearchContext ctx = context();
  std::ofstream out(path);
  for (size_t q = 0; q < c.texts.size(); ++q) {
    auto fused = search::search_impl(ctx, request(q, true, true), 0);
    auto kw = search::text_query(*c.engine, "bench", c.texts[q], {}, 40);
    auto dense = search::dense_candidates(*c.engine, "bench", c.vectors[q], {}, 40,
                                          DistanceMetric::kCosine, 0);
    if (!fused.ok() || !kw.ok() || !dense.ok()) std::abort();
    write_keys(out, fused->hits);
    out << '\t';
    write_keys(out, *kw);
    out << '\t';
    write_keys(out, *dense);
    out << '\n';
  }
}

template <class F>
void run(benchmark::State& state, F&& body) {
  Corpus& c = corpus();
  size_t q = state.thread_index() * 37;
  for (auto _ : state) {
    body(q % c.texts.size());
    ++q;
  }
  state.counters["qps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_StageKeyword(benchmark::State& state) {
  run(state, [](size_t q) {
    auto r = search::text_query(*corpus().engine, "bench", corpus().texts[q], {}, 10);
    benchmark::DoNotOptimize(r);
  });
}

void BM_DriverKeyword(benchmark::State& state) {
  const search::SearchContext ctx = context();
  run(state, [&](size_t q) {
    auto r = search::search_impl(ctx, request(q, true, false), 0);
    benchmark::DoNotOptimize(r);
  });
}

void BM_StageDense(benchmark::State& state) {
  run(state, [](size_t q) {
    auto r = search::dense_candidates(*corpus().engine, "bench", corpus().vectors[q], {}, 10,
                                      DistanceMetric::kCosine, 0);
    benchmark::DoNotOptimize(r);
  });
}

void BM_DriverDense(benchmark::State& state) {
  const search::SearchContext ctx = context();
  run(state, [&](size_t q) {
    auto r = search::search_impl(ctx, request(q, false, true), 0);
    benchmark::DoNotOptimize(r);
  });
}

void BM_DriverHybrid(benchmark::State& state) {
  const search::SearchContext ctx = context();
  run(state, [&](size_t q) {
    auto r = search::search_impl(ctx, request(q, true, true), 0);
    benchmark::DoNotOptimize(r);
  });
}

}  // namespace

BENCHMARK(BM_StageKeyword)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DriverKeyword)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StageDense)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DriverDense)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DriverHybrid)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(1)->Threads(8);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (const char* out = std::getenv("ZV_HYBRID_OUT")) write_lists(out);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
