// The postings of one record's payload: its token statistics with the tokens
// too long to index left out (token_fits), and the Puts of one posting per
// remaining token (namespace 0x00 token 0x00 key -> node id, term frequency,
// positions). Shared by the record change, the full rebuild and the audit
// collection, so all three index exactly the same tokens. Pure functions,
// thread-safe.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/foundation/node_id.h"
#include "src/record/kv_service.h"
#include "src/text/text_tokenizer.h"

namespace zv::text {

// token_stats of the payload without the tokens that do not fit the key
// limit; doc_len still counts every token of the payload. The number of
// tokens left out is added to *skipped when given.
TextTokenStats indexed_token_stats(std::string_view ns, std::string_view record_key,
                                   std::string_view payload, uint64_t* skipped = nullptr);

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
