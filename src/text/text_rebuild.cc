#include "src/text/text_rebuild.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "platform/clock.h"
#include "src/record/memory_record.h"
#include "src/runtime/operational_counters.h"
#include "src/text/text_codecs.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"
#include "src/text/text_postings.h"

namespace zv::text {

namespace {

// Accumulates the text entries of records one after the other: each
// record's postings and document statistics at once, the term and namespace
// statistics at the end.
class TextEntryBuilder {
 public:
  ZolvaStatus add(const MemoryRecord& r, std::vector<BatchOp>* out) {
    const IndexedTokens s = indexed_tokens(r.ns, r.key, r.payload, &skipped_tokens);
    append_posting_puts(r.ns, r.key, s, r.node_id, out);
    out->push_back(BatchOp::put(Partition::kTextIndex, doc_stats_key(r.ns, r.key),
                                encode_doc_stats(r.node_id, s.doc_len)));
    counts.posting_entries += s.terms.size();
    ++counts.record_count;
    ++counts.doc_stats_entries;
    Namespace& acc = namespaces_[r.ns];
    for (const IndexedTokens::Term& t : s.terms) {
      const std::string_view token = s.token(t);
      auto it = acc.df.find(token);
      if (it == acc.df.end()) it = acc.df.emplace(std::string(token), 0).first;
      ++it->second;
    }
    ++acc.doc_count;
    acc.total_doc_len += s.doc_len;
    return {};
  }

  // The term statistics in (namespace, token) order, then the namespace
  // statistics in namespace order.
  void finish(std::vector<BatchOp>* out) {
    for (auto& [ns, acc] : namespaces_) {
      std::vector<std::pair<std::string, uint64_t>> terms(acc.df.begin(), acc.df.end());
      std::sort(terms.begin(), terms.end());
      for (const auto& [token, df] : terms) {
        out->push_back(BatchOp::put(Partition::kTextIndex, term_stats_key(ns, token),
                                    encode_term_stats(df)));
      }
      counts.term_stats_entries += terms.size();
    }
    for (const auto& [ns, acc] : namespaces_) {
      out->push_back(BatchOp::put(Partition::kTextIndex, namespace_stats_key(ns),
                                  encode_namespace_stats(acc.doc_count, acc.total_doc_len)));
    }
    counts.namespace_stats_entries = namespaces_.size();
  }

  TextIndexCounts counts;
  uint64_t skipped_tokens = 0;

 private:
  struct Namespace {
    struct Hash {
      using is_transparent = void;
      size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, uint64_t, Hash, std::equal_to<>> df;
    uint64_t doc_count = 0;
    uint64_t total_doc_len = 0;
  };
  std::map<std::string, Namespace> namespaces_;
};

uint64_t elapsed_ms_since(uint64_t started_ns) {
  const uint64_t now = monotonic_ns();
  return now > started_ns ? (now - started_ns) / 1'000'000 : 0;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

}  // namespace

ZolvaResult<TextRebuildStats> rebuild_text_index_from_nodes(const TextIndexTarget& t,
                                                            const std::vector<EngineNode>& nodes,
                                                            uint64_t started_ns) {
  t.caches.term.clear();
  t.caches.ns.clear();
  std::vector<BatchOp> ops;
  {
    ZV_ASSIGN_OR_RETURN(std::vector<KvPair> stored, t.backend.scan_all(Partition::kTextIndex));
    ops.reserve(stored.size() + nodes.size() * 16);
    for (KvPair& kv : stored) ops.push_back(BatchOp::del(Partition::kTextIndex, std::move(kv.key)));
  }
  TextEntryBuilder builder;
  for (const EngineNode& node : nodes) {
    std::optional<MemoryRecord> r = MemoryRecord::from_node(node, /*exclude_expired=*/false);
    if (!r) continue;
    ZV_TRY(builder.add(*r, &ops));
  }
  builder.finish(&ops);
  if (!ops.empty()) ZV_TRY(t.kv.kv_write_batch(std::move(ops)));
  OperationalCounters& counters = OperationalCounters::global();
  if (builder.skipped_tokens != 0) counters.text_tokens_skipped.add(builder.skipped_tokens);
  TextRebuildStats stats;
  static_cast<TextIndexCounts&>(stats) = builder.counts;
  ZV_TRY(TextIndexState::write(
      t.kv, TextIndexState::create(stats.record_count, stats.posting_entries,
                                   stats.doc_stats_entries, stats.term_stats_entries,
                                   stats.namespace_stats_entries)));
  // Readers between the first clear and the batch may have cached the old
  // statistics.
  t.caches.term.clear();
  t.caches.ns.clear();
  stats.elapsed_ms = elapsed_ms_since(started_ns);
  counters.text_index_rebuild_ms.max(stats.elapsed_ms);
  if (stats.posting_entries != 0) counters.text_postings_written.add(stats.posting_entries);
  return stats;
}

ZolvaResult<TextIndexExpectedEntries> collect_text_index_entries_from_nodes(
    const std::vector<EngineNode>& nodes, std::optional<std::string_view> ns_filter) {
  TextIndexExpectedEntries out;
  TextEntryBuilder builder;
  std::vector<BatchOp> ops;
  auto take = [&] {
    for (BatchOp& op : ops) out.expected_entries.insert_or_assign(std::move(op.key), std::move(op.value));
    ops.clear();
  };
  for (const EngineNode& node : nodes) {
    ++out.records_scanned;
    std::optional<MemoryRecord> r = MemoryRecord::from_node(node, /*exclude_expired=*/false);
    if (!r || (ns_filter && r->ns != *ns_filter)) continue;
    out.namespaces.insert(r->ns);
    ZV_TRY(builder.add(*r, &ops));
    take();
  }
  builder.finish(&ops);
  take();
  out.record_count = builder.counts.record_count;
  out.posting_entries = builder.counts.posting_entries;
  out.doc_stats_entries = builder.counts.doc_stats_entries;
  for (const auto& [key, value] : out.expected_entries) {
    if (starts_with(key, kTermStatsPrefix)) ++out.term_stats_entries;
    if (starts_with(key, kNamespaceStatsPrefix)) ++out.namespace_stats_entries;
  }
  return out;
}

TextKeyKind classify_text_key(std::string_view key) {
  if (!starts_with(key, kStatsMarker)) return TextKeyKind::kPosting;
  if (starts_with(key, kDocStatsPrefix)) return TextKeyKind::kDocStats;
  if (starts_with(key, kTermStatsPrefix)) return TextKeyKind::kTermStats;
  if (starts_with(key, kNamespaceStatsPrefix)) return TextKeyKind::kNamespaceStats;
  return TextKeyKind::kOtherStats;
}

bool value_decodes_for_key(std::string_view key, std::string_view value) {
  switch (classify_text_key(key)) {
    case TextKeyKind::kPosting: return decode_text_posting(value).ok();
    case TextKeyKind::kDocStats: return decode_doc_stats(value).ok();
    case TextKeyKind::kTermStats: return decode_term_stats(value).ok();
    case TextKeyKind::kNamespaceStats: return decode_namespace_stats(value).ok();
    case TextKeyKind::kOtherStats: return false;
  }
  return false;
}

}  // namespace zv::text
