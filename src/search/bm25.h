// The Okapi BM25 arithmetic of keyword search (k1 1.2, b 0.75), in 32-bit
// floats with a fixed order of operations, so that the keyword stage's
// scores and a hit's per-term explanation agree bit for bit. Both call these
// and nothing else for the formula. Pure functions.
#pragma once

#include <cstdint>

namespace zv::search {

// total_doc_len / doc_count, or 1.0 when total_doc_len is 0 (doc_count > 0).
float bm25_avgdl(uint64_t doc_count, uint64_t total_doc_len);

// ln(((N - df) + 0.5) / (df + 0.5) + 1.0), N and df as f32 first. A df
// above N gives a finite negative value.
float bm25_idf(uint64_t doc_count, uint64_t df);

// idf x tf x 2.2 / (tf + 1.2 x (0.25 + 0.75 x doc_len / avgdl)), evaluated
// as a = doc_len / avgdl, x 0.75, + 0.25, x 1.2, + tf; (tf x 2.2) / a, x idf.
float bm25_contribution(uint32_t tf, uint32_t doc_len, float avgdl, float idf);

}  // namespace zv::search
