#include "src/text/text_postings.h"

#include <algorithm>
#include <cstdint>

#include "src/text/key_limit.h"
#include "src/text/text_codecs.h"
#include "src/text/text_keys.h"

namespace zv::text {

IndexedTokens indexed_tokens(std::string_view ns, std::string_view record_key,
                             std::string_view payload, uint64_t* skipped) {
  // Every occurrence first (its bytes in one buffer), then sorted by token
  // and position and grouped: a few flat allocations per payload instead of
  // map nodes per token.
  struct Occurrence {
    size_t offset, length;
    uint32_t position;
  };
  IndexedTokens out;
  std::vector<Occurrence> occ;
  uint64_t index = 0;
  for_each_token(payload, [&](std::string_view t) {
    occ.push_back({out.text.size(), t.size(),
                   index > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(index)});
    out.text.append(t);
    ++index;
  });
  out.doc_len = index > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(index);
  const std::string_view text = out.text;
  auto token_of = [&](const Occurrence& o) { return text.substr(o.offset, o.length); };
  std::sort(occ.begin(), occ.end(), [&](const Occurrence& a, const Occurrence& b) {
    const int c = token_of(a).compare(token_of(b));
    return c != 0 ? c < 0 : a.position < b.position;
  });
  out.positions.reserve(occ.size());
  for (size_t i = 0; i < occ.size();) {
    const std::string_view token = token_of(occ[i]);
    size_t j = i;
    while (j < occ.size() && token_of(occ[j]) == token) ++j;
    if (token_fits(ns, token, record_key)) {
      out.terms.push_back({occ[i].offset, occ[i].length, j - i > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(j - i),
                           out.positions.size(), j - i});
      for (size_t k = i; k < j; ++k) out.positions.push_back(occ[k].position);
    } else if (skipped != nullptr) {
      ++*skipped;
    }
    i = j;
  }
  return out;
}

void append_posting_puts(std::string_view ns, std::string_view record_key,
                         const IndexedTokens& tokens, NodeId node_id, std::vector<BatchOp>* out) {
  for (const IndexedTokens::Term& t : tokens.terms) {
    std::string value;
    // Room for the longest id and counts, and small positions.
    value.reserve(29 + t.position_count * 2);
    append_text_posting(&value, node_id, t.term_frequency, tokens.positions_of(t));
    out->push_back(BatchOp::put(Partition::kTextIndex, posting_key(ns, tokens.token(t), record_key),
                                std::move(value)));
  }
}

ZolvaStatus collect_posting_writes(std::string_view ns, std::string_view record_key,
                                   std::string_view token, uint32_t term_frequency,
                                   const std::vector<uint32_t>& positions, NodeId node_id,
                                   std::vector<BatchOp>* out) {
  out->push_back(BatchOp::put(Partition::kTextIndex, posting_key(ns, token, record_key),
                              encode_text_posting(node_id, term_frequency, positions)));
  return {};
}

ZolvaStatus append_posting_put_ops(std::string_view ns, std::string_view record_key,
                                   const TextTokenStats& stats, NodeId node_id,
                                   std::vector<BatchOp>* out) {
  static const std::vector<uint32_t> kNoPositions;
  for (const auto& [token, tf] : stats.term_frequencies) {
    auto pos = stats.positions.find(token);
    const std::vector<uint32_t>& positions = pos == stats.positions.end() ? kNoPositions : pos->second;
    ZV_TRY(collect_posting_writes(ns, record_key, token, tf, positions, node_id, out));
  }
  return {};
}

ZolvaResult<std::vector<BatchOp>> posting_put_ops(std::string_view ns, std::string_view record_key,
                                                  const TextTokenStats& stats, NodeId node_id) {
  std::vector<BatchOp> out;
  out.reserve(stats.term_frequencies.size());
  ZV_TRY(append_posting_put_ops(ns, record_key, stats, node_id, &out));
  return out;
}

}  // namespace zv::text
