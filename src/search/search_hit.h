// One search hit (the record as stored, its optional explanation and its
// score) and the explanation records. A plain header so that entry points
// outside the search library can return hits without linking it. Plain
// values, deep-copied.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/record/memory_record.h"

namespace zv {

// One query token's share of a record's BM25 score.
struct Bm25TermExplanation {
  std::string token;
  uint32_t tf = 0;       // occurrences of the token in the record
  uint64_t df = 0;       // records of the namespace holding it
  uint32_t doc_len = 0;  // the record's token count
  float contribution = 0.0f;

  bool operator==(const Bm25TermExplanation&) const = default;
};

// Why a record was found; fields in report order.
struct HitExplanation {
  std::string identity;  // namespace, one 0x00 byte, key
  float score = 0.0f;
  std::optional<std::string> snippet;
  std::vector<std::string> matched_tokens;
  std::vector<std::string> matched_phrases;
  std::vector<Bm25TermExplanation> bm25_terms;
  std::optional<uint64_t> rrf_text_rank;    // 1-based
  std::optional<uint64_t> rrf_vector_rank;  // 1-based

  bool operator==(const HitExplanation&) const = default;
};

struct SearchHit {
  MemoryRecord record;
  std::optional<HitExplanation> explanation;
  float score = 0.0f;  // higher is better; its meaning depends on the route
};

// One page of a search and the token that continues it.
struct SearchResponse {
  std::vector<SearchHit> hits;
  std::optional<std::string> next_cursor;
};

}  // namespace zv
