// Text index hot paths: the index tokenizer on ASCII prose and on mixed UTF-8
// beside a plain byte loop that only splits ASCII letters and digits; token
// statistics with posting encoding, posting decoding, query parsing; and the
// keyword candidate lookup (df through the cache, prefix scan of the posting
// prefix, decoding of every posting) over 100,000 Zipf documents, beside
// SQLite FTS5 (Python's sqlite3, bench/text_fts5_bench.py) counting the same
// token's matches over the same documents in the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_smoke.h"
#include "bench/zipf_docs.h"
#include "src/backends/in_memory_backend.h"
#include "src/foundation/node_id.h"
#include "src/text/text_codecs.h"
#include "src/text/text_keys.h"
#include "src/text/text_query.h"
#include "src/text/text_stats_cache.h"
#include "src/text/text_tokenizer.h"

namespace zv::text {
namespace {

const char* kWords[] = {"the",    "memory", "agent",  "stored", "Record", "of",     "a",
                        "travel", "plan",   "budget", "hotel",  "flight", "2024",   "user",
                        "said",   "that",   "Paris",  "in",     "May",    "meeting"};

std::string ascii_prose(size_t bytes) {
  std::mt19937 rng(7);
  std::string out;
  while (out.size() < bytes) {
    out += kWords[rng() % 20];
    out += (rng() % 8 == 0) ? ", " : " ";
  }
  return out;
}

// Prose with every fourth word in Cyrillic, Greek, CJK or accented Latin.
std::string mixed_text(size_t bytes) {
  const char* foreign[] = {"\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
                           "\xCE\xB3\xCE\xB5\xCE\xB9\xCE\xAC", "\xE4\xBD\xA0\xE5\xA5\xBD",
                           "caf\xC3\xA9", "na\xC3\xAFve"};
  std::mt19937 rng(9);
  std::string out;
  while (out.size() < bytes) {
    out += (rng() % 4 == 0) ? foreign[rng() % 5] : kWords[rng() % 20];
    out += ' ';
  }
  return out;
}

void BM_TokenizeAscii(benchmark::State& state) {
  const std::string text = ascii_prose(1 << 20);
  for (auto _ : state) {
    size_t n = 0;
    for_each_token(text, [&](std::string_view t) { n += t.size(); });
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_TokenizeAscii);

void BM_TokenizeMixedUtf8(benchmark::State& state) {
  const std::string text = mixed_text(1 << 20);
  for (auto _ : state) {
    size_t n = 0;
    for_each_token(text, [&](std::string_view t) { n += t.size(); });
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_TokenizeMixedUtf8);

// The reference: split ASCII letters and digits, no lower-casing, no
// non-ASCII rules, tokens handed out as views of the input.
void BM_PlainByteLoopAscii(benchmark::State& state) {
  const std::string text = ascii_prose(1 << 20);
  for (auto _ : state) {
    size_t n = 0;
    size_t start = 0;
    bool in = false;
    for (size_t i = 0; i < text.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      const bool alnum = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
      if (alnum && !in) {
        start = i;
        in = true;
      } else if (!alnum && in) {
        std::string_view t(text.data() + start, i - start);
        benchmark::DoNotOptimize(t.data());
        n += t.size();
        in = false;
      }
    }
    if (in) n += text.size() - start;
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_PlainByteLoopAscii);

// token_stats of a 30-word record plus the encoding of its postings; time
// per token of the record.
void BM_TokenStatsAndPostingEncode(benchmark::State& state) {
  const std::string doc = ascii_prose(200);
  const size_t tokens = tokenize(doc).size();
  std::string buf;
  for (auto _ : state) {
    TextTokenStats s = token_stats(doc);
    for (const auto& [token, tf] : s.term_frequencies) {
      buf.clear();
      append_text_posting(&buf, 123456789, tf, s.positions.find(token)->second);
      benchmark::DoNotOptimize(buf.data());
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * tokens));
}
BENCHMARK(BM_TokenStatsAndPostingEncode);

void BM_PostingDecode(benchmark::State& state) {
  const std::string value = encode_text_posting(NodeId{0x0123456789ABCDEFull} << 60, 2, {3, 17});
  for (auto _ : state) {
    auto p = decode_text_posting(value);
    benchmark::DoNotOptimize(p);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostingDecode);

void BM_ParseQuery10Words(benchmark::State& state) {
  const std::string q = "Travel plans for \"Paris in May\" with the hotel budget, flights";
  for (auto _ : state) {
    auto parsed = parse_text_query(q);
    benchmark::DoNotOptimize(parsed);
  }
}
BENCHMARK(BM_ParseQuery10Words)->Unit(benchmark::kMicrosecond);

// ---- Keyword candidate lookup -------------------------------------------

constexpr std::string_view kNs = "bench";

struct Corpus {
  InMemoryBackend backend;
  TextStatsCaches caches;
  std::vector<std::string> docs;
  std::map<std::string, uint64_t> df;
  // The tokens closest to df 10, 10,000 and 75,000 (scaled in smoke runs).
  std::vector<std::string> probes;
  std::map<std::string, double> fts5_ns_per_query;
};

void run_fts5(Corpus* c) {
  const std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  const std::string docs_path = dir + "/zv_text_bench_docs.txt";
  {
    std::ofstream out(docs_path);
    for (const auto& d : c->docs) out << d << '\n';
  }
  std::string cmd = std::string("\"") + ZV_BENCH_PYTHON + "\" \"" + ZV_BENCH_DIR +
                    "/text_fts5_bench.py\" \"" + docs_path + "\" " +
                    (bench::smoke() ? "0.01" : "0.5");
  for (const auto& t : c->probes) cmd += " " + t;
  FILE* p = popen(cmd.c_str(), "r");
  if (p != nullptr) {
    char token[64];
    unsigned long long count = 0;
    double ns = 0;
    while (std::fscanf(p, "%63s %llu %lf", token, &count, &ns) == 3) {
      c->fts5_ns_per_query[token] = ns;
    }
    pclose(p);
  }
  std::remove(docs_path.c_str());
}

Corpus* corpus() {
  static Corpus* c = [] {
    auto* c = new Corpus;
    const size_t kDocs = bench::sized<size_t>(100000, 4000);
    const size_t kWordsPerDoc = 30;
    bench::ZipfDocs docs;
    std::vector<BatchOp> batch;
    for (size_t d = 0; d < kDocs; ++d) {
      std::string doc = docs.next(kWordsPerDoc);
      const std::string key = "doc-" + std::to_string(d);
      TextTokenStats s = token_stats(doc);
      for (const auto& [token, tf] : s.term_frequencies) {
        batch.push_back(BatchOp::put(Partition::kTextIndex, posting_key(kNs, token, key),
                                     encode_text_posting(d + 1, tf, s.positions[token])));
        ++c->df[token];
      }
      c->docs.push_back(std::move(doc));
      if (batch.size() > 10000) {
        (void)c->backend.write_batch(std::move(batch));
        batch.clear();
      }
    }
    for (const auto& [token, df] : c->df) {
      batch.push_back(BatchOp::put(Partition::kTextIndex, term_stats_key(kNs, token),
                                   encode_term_stats(df)));
    }
    (void)c->backend.write_batch(std::move(batch));
    const double scale = static_cast<double>(kDocs) / 100000.0;
    for (double target : {10.0, 10000.0 * scale, 75000.0 * scale}) {
      std::string best;
      double best_gap = 1e18;
      for (const auto& [token, df] : c->df) {
        const double gap = std::fabs(static_cast<double>(df) - target);
        if (gap < best_gap) {
          best_gap = gap;
          best = token;
        }
      }
      c->probes.push_back(best);
    }
    run_fts5(c);
    return c;
  }();
  return c;
}

void BM_KeywordCandidates(benchmark::State& state) {
  Corpus* c = corpus();
  const std::string& token = c->probes[static_cast<size_t>(state.range(0))];
  const std::string prefix = posting_prefix(kNs, token);
  uint64_t postings = 0;
  for (auto _ : state) {
    auto df = text_term_stats(c->backend, c->caches, kNs, token);
    auto it = c->backend.prefix_iter(Partition::kTextIndex, prefix);
    uint64_t tf_sum = 0;
    while (auto item = (*it)->next()) {
      tf_sum += decode_text_posting((*item)->value)->term_frequency;
      ++postings;
    }
    benchmark::DoNotOptimize(tf_sum);
    benchmark::DoNotOptimize(df);
  }
  const uint64_t per_query = c->df[token];
  state.SetItemsProcessed(static_cast<int64_t>(postings));
  state.counters["postings"] = static_cast<double>(per_query);
  auto it = c->fts5_ns_per_query.find(token);
  if (it != c->fts5_ns_per_query.end() && per_query > 0) {
    state.counters["fts5_ns_per_posting"] = it->second / static_cast<double>(per_query);
  }
}
BENCHMARK(BM_KeywordCandidates)->Arg(0)->Arg(1)->Arg(2);

// The backend's share alone: the prefix scan without decoding.
void BM_PostingScanOnly(benchmark::State& state) {
  Corpus* c = corpus();
  const std::string& token = c->probes[static_cast<size_t>(state.range(0))];
  const std::string prefix = posting_prefix(kNs, token);
  uint64_t postings = 0;
  for (auto _ : state) {
    auto pairs = c->backend.scan_prefix(Partition::kTextIndex, prefix);
    postings += pairs->size();
  }
  state.SetItemsProcessed(static_cast<int64_t>(postings));
}
BENCHMARK(BM_PostingScanOnly)->Arg(1)->Arg(2);

}  // namespace
}  // namespace zv::text

BENCHMARK_MAIN();
