#include "src/text/text_postings.h"

#include "src/text/key_limit.h"
#include "src/text/text_codecs.h"
#include "src/text/text_keys.h"

namespace zv::text {

TextTokenStats indexed_token_stats(std::string_view ns, std::string_view record_key,
                                   std::string_view payload, uint64_t* skipped) {
  TextTokenStats stats = token_stats(payload);
  for (auto it = stats.term_frequencies.begin(); it != stats.term_frequencies.end();) {
    if (token_fits(ns, it->first, record_key)) {
      ++it;
      continue;
    }
    if (skipped != nullptr) ++*skipped;
    stats.positions.erase(it->first);
    it = stats.term_frequencies.erase(it);
  }
  return stats;
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
