// The postings of one record's payload: its token statistics with the tokens
// too long to index left out (token_fits), and the Puts of one posting per
// remaining token (namespace 0x00 token 0x00 key -> node id, term frequency,
// positions). Shared by the record change, the full rebuild and the audit
// collection, so all three index exactly the same tokens. Pure functions,
// thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/foundation/node_id.h"
#include "src/record/kv_service.h"
#include "src/text/text_tokenizer.h"

namespace zv::text {

// One payload's index tokens as flat arrays, for the writers that run per
// record: the distinct tokens of token_stats that fit the key limit
// (token_fits), in byte order, each with its term frequency and ascending
// positions; doc_len still counts every token of the payload.
struct IndexedTokens {
  struct Term {
    size_t token_at = 0;  // the token is text[token_at, token_at + token_size)
    size_t token_size = 0;
    uint32_t term_frequency = 0;
    size_t first_position = 0;  // its positions are positions[first, first + count)
    size_t position_count = 0;
  };
  std::string text;  // the lower-cased token bytes
  std::vector<Term> terms;
  std::vector<uint32_t> positions;
  uint32_t doc_len = 0;

  std::string_view token(const Term& t) const {
    return std::string_view(text).substr(t.token_at, t.token_size);
  }
  std::span<const uint32_t> positions_of(const Term& t) const {
    return std::span<const uint32_t>(positions).subspan(t.first_position, t.position_count);
  }
};

// The number of tokens left out is added to *skipped when given.
IndexedTokens indexed_tokens(std::string_view ns, std::string_view record_key,
                             std::string_view payload, uint64_t* skipped = nullptr);

// One posting Put per token, in token order, appended to *out.
void append_posting_puts(std::string_view ns, std::string_view record_key,
                         const IndexedTokens& tokens, NodeId node_id, std::vector<BatchOp>* out);

// Appends the Put of one token's posting.
ZolvaStatus collect_posting_writes(std::string_view ns, std::string_view record_key,
                                   std::string_view token, uint32_t term_frequency,
                                   const std::vector<uint32_t>& positions, NodeId node_id,
                                   std::vector<BatchOp>* out);

// One posting Put per token of the statistics, in token order.
ZolvaResult<std::vector<BatchOp>> posting_put_ops(std::string_view ns, std::string_view record_key,
                                                  const TextTokenStats& stats, NodeId node_id);
// The same, appended to *out (a rebuild's one batch).
ZolvaStatus append_posting_put_ops(std::string_view ns, std::string_view record_key,
                                   const TextTokenStats& stats, NodeId node_id,
                                   std::vector<BatchOp>* out);

}  // namespace zv::text
