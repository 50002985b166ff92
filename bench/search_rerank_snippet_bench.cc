// MMR re-ranking of a large candidate list against its floor: the
// top_k x fetch_k dot-and-norm kernel calls that picking top_k hits needs
// when each candidate keeps its running greatest similarity. The ratio of the
// two is the step's overhead beyond its arithmetic.
// Snippets with highlighting over 10 KB English payloads against theirs:
// folding the payload and one substring search. And the keyword explanation
// of one hit for queries of one to three words over an indexed corpus.
#include <benchmark/benchmark.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "src/backends/in_memory_backend.h"
#include "src/search/explain_hit.h"
#include "src/search/fold.h"
#include "src/search/mmr.h"
#include "src/search/snippet.h"
#include "src/text/text_codecs.h"
#include "src/text/text_keys.h"
#include "src/text/text_tokenizer.h"
#include "src/vector/kernel_call.h"

namespace {

constexpr size_t kDim = 384;

std::vector<zv::SearchHit> candidates(size_t n) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<zv::SearchHit> hits(n);
  for (size_t i = 0; i < n; ++i) {
    hits[i].record.key = std::to_string(i);
    hits[i].score = 1.0f / static_cast<float>(60 + i);
    std::vector<float> v(kDim);
    for (float& x : v) x = u(rng);
    hits[i].record.vector = std::move(v);
  }
  return hits;
}

size_t fetch_k() { return zv::bench::sized<size_t>(16384, 512); }
uint64_t top_k() { return zv::bench::sized<uint64_t>(100, 10); }

void BM_MmrRerank(benchmark::State& state) {
  const std::vector<zv::SearchHit> base = candidates(fetch_k());
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<zv::SearchHit> hits = base;
    state.ResumeTiming();
    auto picked = zv::search::mmr_rerank(std::move(hits), top_k(), zv::MmrOptions{std::nullopt, 0.5f});
    benchmark::DoNotOptimize(picked.data());
    state.PauseTiming();
    picked.clear();
    state.ResumeTiming();
  }
  state.counters["kernel_calls"] = static_cast<double>(top_k() * fetch_k());
}

void BM_KernelFloor(benchmark::State& state) {
  const std::vector<zv::SearchHit> base = candidates(fetch_k());
  const uint64_t picks = top_k();
  std::vector<zv::F32View> views;
  for (const zv::SearchHit& h : base) views.emplace_back(*h.record.vector);
  std::vector<float> out(views.size());
  for (auto _ : state) {
    for (uint64_t p = 0; p < picks; ++p) {
      for (size_t i = 0; i < views.size(); ++i) out[i] = zv::kern::dot_norm(views[i], views[p]).first;
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.counters["kernel_calls"] = static_cast<double>(top_k() * fetch_k());
}

constexpr size_t kPayloadBytes = 10 * 1024;
constexpr std::string_view kNs = "bench";

// English text: the reference topics of this build's Python, or generated
// sentences when they cannot be read.
std::string english_source() {
  std::string text;
#ifdef ZV_BENCH_PY_STDLIB
  std::ifstream in(std::string(ZV_BENCH_PY_STDLIB) + "/pydoc_data/topics.py");
  std::stringstream ss;
  ss << in.rdbuf();
  text = ss.str();
#endif
  if (text.size() < 4 * kPayloadBytes) {
    const char* words[] = {"the", "search", "returns", "records", "whose", "text", "matches",
                           "query", "and", "ranks", "them", "by", "score", "with", "Paris", "café"};
    std::mt19937 rng(7);
    while (text.size() < 100 * kPayloadBytes) {
      text += words[rng() % 16];
      text += (rng() % 9 == 0) ? ". " : " ";
    }
  }
  return text;
}

struct TextCorpus {
  std::vector<std::string> payloads;  // about 10 KB each, cut at a blank
  std::vector<std::vector<std::string>> queries[3];  // 1, 2, 3 words; query i is for payload i % n
  zv::InMemoryBackend backend;
  zv::text::TextStatsCaches caches;
};

TextCorpus* text_corpus() {
  static TextCorpus* c = [] {
    auto* c = new TextCorpus;
    const std::string src = english_source();
    const size_t max_docs = zv::bench::sized<size_t>(200, 8);
    for (size_t at = 0; at + kPayloadBytes < src.size() && c->payloads.size() < max_docs;) {
      size_t end = src.find(' ', at + kPayloadBytes);
      if (end == std::string::npos) break;
      c->payloads.push_back(src.substr(at, end - at));
      at = end + 1;
    }
    std::mt19937 rng(11);
    std::map<std::string, uint64_t> df;
    uint64_t total = 0;
    for (size_t d = 0; d < c->payloads.size(); ++d) {
      const std::string key = "doc" + std::to_string(d);
      const zv::text::TextTokenStats s = zv::text::token_stats(c->payloads[d]);
      std::vector<std::string> words;
      for (const auto& [token, tf] : s.term_frequencies) {
        (void)c->backend.put(zv::Partition::kTextIndex, zv::text::posting_key(kNs, token, key),
                             zv::text::encode_text_posting(d + 1, tf, s.positions.at(token)));
        ++df[token];
        if (token.size() >= 3 && token[0] >= 'a') words.push_back(token);
      }
      (void)c->backend.put(zv::Partition::kTextIndex, zv::text::doc_stats_key(kNs, key),
                           zv::text::encode_doc_stats(d + 1, s.doc_len));
      total += s.doc_len;
      for (size_t n = 0; n < 3; ++n) {
        std::vector<std::string> q;
        for (size_t w = 0; w <= n && !words.empty(); ++w) q.push_back(words[rng() % words.size()]);
        c->queries[n].push_back(std::move(q));
      }
    }
    for (const auto& [token, n] : df) {
      (void)c->backend.put(zv::Partition::kTextIndex, zv::text::term_stats_key(kNs, token),
                           zv::text::encode_term_stats(n));
    }
    (void)c->backend.put(zv::Partition::kTextIndex, zv::text::namespace_stats_key(kNs),
                         zv::text::encode_namespace_stats(c->payloads.size(), total));
    return c;
  }();
  return c;
}

std::string join(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

void BM_BuildSnippetHighlighted(benchmark::State& state) {
  TextCorpus* c = text_corpus();
  const auto& queries = c->queries[state.range(0) - 1];
  std::vector<std::string> texts;
  for (const auto& q : queries) texts.push_back(join(q));
  size_t i = 0;
  for (auto _ : state) {
    const size_t d = i++ % c->payloads.size();
    auto s = zv::snippet::build_snippet(c->payloads[d], texts[d], true);
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPayloadBytes));
}

// The floor: fold the payload and search it once for the smallest word.
void BM_SnippetFloor(benchmark::State& state) {
  TextCorpus* c = text_corpus();
  const auto& queries = c->queries[state.range(0) - 1];
  std::vector<std::string> anchors;
  for (const auto& q : queries) anchors.push_back(q.empty() ? "x" : *std::min_element(q.begin(), q.end()));
  size_t i = 0;
  for (auto _ : state) {
    const size_t d = i++ % c->payloads.size();
    const std::string folded = zv::snippet::fold_text(c->payloads[d]);
    benchmark::DoNotOptimize(folded.find(anchors[d]));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPayloadBytes));
}

void BM_ExplainTextMatch(benchmark::State& state) {
  TextCorpus* c = text_corpus();
  const auto& queries = c->queries[state.range(0) - 1];
  std::vector<zv::SearchHit> hits(c->payloads.size());
  std::vector<std::string> texts;
  std::vector<zv::SearchHit> list;
  for (size_t d = 0; d < hits.size(); ++d) {
    hits[d].record.ns = std::string(kNs);
    hits[d].record.key = "doc" + std::to_string(d);
    hits[d].record.payload = c->payloads[d];
    hits[d].score = 1.0f;
    texts.push_back(join(queries[d]));
  }
  const zv::search::RankMap ranks = zv::search::rank_map(hits);
  size_t i = 0;
  for (auto _ : state) {
    const size_t d = i++ % hits.size();
    state.PauseTiming();
    zv::SearchHit hit = hits[d];
    state.ResumeTiming();
    auto e = zv::search::explain_text_match(c->backend, c->caches, std::move(hit), texts[d], ranks, ranks);
    if (!e.ok() || e->bm25_terms.empty()) state.SkipWithError("explanation without terms");
    benchmark::DoNotOptimize(e);
  }
}

BENCHMARK(BM_MmrRerank)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KernelFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildSnippetHighlighted)->DenseRange(1, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SnippetFloor)->DenseRange(1, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExplainTextMatch)->DenseRange(1, 3)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
