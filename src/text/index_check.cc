#include "src/text/index_check.h"

#include <map>
#include <set>
#include <unordered_set>

#include "src/record/memory_record.h"
#include "src/text/key_limit.h"
#include "src/text/text_index_state.h"
#include "src/text/text_rebuild.h"
#include "src/text/text_tokenizer.h"

namespace zv::text {

namespace {

// The expiry rule of MemoryRecord::from_node with expired records excluded.
bool expired(const MemoryRecord& r, uint64_t now_ms) {
  return r.expires_at_ms && *r.expires_at_ms != 0 && now_ms > *r.expires_at_ms;
}

}  // namespace

ExpectedIndexCounts count_expected_entries(const std::vector<EngineNode>& nodes, uint64_t now_ms) {
  ExpectedIndexCounts out;
  std::map<std::string, std::unordered_set<std::string>> terms;  // namespace -> tokens
  for (const EngineNode& node : nodes) {
    std::optional<MemoryRecord> r = MemoryRecord::from_node(node, /*exclude_expired=*/false);
    if (!r) continue;
    ++out.text_records;
    std::unordered_set<std::string>& ns_terms = terms[r->ns];
    for (const std::string& token : distinct_tokens(r->payload)) {
      if (!token_fits(r->ns, token, r->key)) continue;
      ++out.postings;
      ns_terms.insert(token);
    }
    if (expired(*r, now_ms)) continue;
    ++out.live_records;
    if (r->sparse_vector) out.sparse_postings += r->sparse_vector->size();
  }
  out.namespace_stats = terms.size();
  for (const auto& [ns, tokens] : terms) out.term_stats += tokens.size();
  return out;
}

ZolvaResult<StoredTextCounts> count_stored_text_entries(StorageBackend& backend) {
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<PrefixIter> it, backend.prefix_iter(Partition::kTextIndex, ""));
  StoredTextCounts out;
  while (std::optional<ZolvaResult<KvPair>> item = it->next()) {
    if (!item->ok()) return make_unexpected(std::move(*item).error());
    switch (classify_text_key((*item)->key)) {
      case TextKeyKind::kPosting: ++out.postings; break;
      case TextKeyKind::kDocStats: ++out.doc_stats; break;
      case TextKeyKind::kTermStats: ++out.term_stats; break;
      case TextKeyKind::kNamespaceStats: ++out.namespace_stats; break;
      case TextKeyKind::kOtherStats: ++out.other_stats; break;
    }
  }
  return out;
}

ZolvaResult<uint64_t> count_pairs(StorageBackend& backend, Partition partition) {
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<PrefixIter> it, backend.prefix_iter(partition, ""));
  uint64_t n = 0;
  while (std::optional<ZolvaResult<KvPair>> item = it->next()) {
    if (!item->ok()) return make_unexpected(std::move(*item).error());
    ++n;
  }
  return n;
}

TextIndexStatus text_index_state_status(StorageBackend& backend, const TextIndexCounts& e,
                                        bool skip_counts) {
  auto state = TextIndexState::read(backend);
  if (!state.ok()) return {false, "decode_error: " + state.error().message()};
  if (!*state) return {false, "missing"};
  const TextIndexState& s = **state;
  if (!s.is_compatible()) return {false, "incompatible"};
  const bool counts_equal = s.record_count == e.record_count &&
                            s.posting_entries == e.posting_entries &&
                            s.doc_stats_entries == e.doc_stats_entries &&
                            s.term_stats_entries == e.term_stats_entries &&
                            s.namespace_stats_entries == e.namespace_stats_entries;
  if (skip_counts || counts_equal) return {true, "current"};
  return {false, "count_mismatch"};
}

}  // namespace zv::text
