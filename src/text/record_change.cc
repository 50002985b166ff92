#include "src/text/record_change.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "src/runtime/operational_counters.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"
#include "src/text/text_codecs.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"
#include "src/text/text_postings.h"
#include "src/text/text_stats.h"

namespace zv::text {

namespace {

struct NamespaceDelta {
  int64_t doc_count = 0;
  int64_t total_doc_len = 0;
};

// The deltas a change computes before it reads any statistics. Maps are
// ordered by bytes, so the statistics operations follow (namespace, token)
// and namespace order.
struct ChangeDeltas {
  std::map<std::pair<std::string, std::string>, int64_t> terms;
  std::map<std::string, NamespaceDelta> namespaces;
  TextEntryDeltas entries;
};

void remove_old_text(const MemoryRecord& o, const TextTokenStats& s, ChangeDeltas* d,
                     std::vector<BatchOp>* batch) {
  for (const auto& [token, tf] : s.term_frequencies) {
    batch->push_back(BatchOp::del(Partition::kTextIndex, posting_key(o.ns, token, o.key)));
  }
  batch->push_back(BatchOp::del(Partition::kTextIndex, doc_stats_key(o.ns, o.key)));
  for (const auto& [token, tf] : s.term_frequencies) d->terms[{o.ns, token}] -= 1;
  NamespaceDelta& nd = d->namespaces[o.ns];
  nd.doc_count -= 1;
  nd.total_doc_len -= s.doc_len;
  d->entries.doc_stats_entries -= 1;
}

ZolvaStatus add_new_text(const MemoryRecord& n, const TextTokenStats& s, ChangeDeltas* d,
                         std::vector<BatchOp>* batch) {
  ZV_TRY(append_posting_put_ops(n.ns, n.key, s, n.node_id, batch));
  batch->push_back(BatchOp::put(Partition::kTextIndex, doc_stats_key(n.ns, n.key),
                                encode_doc_stats(n.node_id, s.doc_len)));
  for (const auto& [token, tf] : s.term_frequencies) d->terms[{n.ns, token}] += 1;
  NamespaceDelta& nd = d->namespaces[n.ns];
  nd.doc_count += 1;
  nd.total_doc_len += s.doc_len;
  d->entries.doc_stats_entries += 1;
  return {};
}

// The entry-count move of one statistics key going from `before` to `after`
// (zero meaning absent).
int64_t entry_move(uint64_t before, uint64_t after) {
  if (before == 0 && after != 0) return 1;
  if (before != 0 && after == 0) return -1;
  return 0;
}

// Steps 4 and 5: reads each moved statistic, checks the new value and
// appends its Put or Delete to both the batch and *stats_ops (the cache
// upkeep's input). Runs under the text-index mutex.
ZolvaStatus statistics_ops(const TextIndexTarget& t, ChangeDeltas* d, std::vector<BatchOp>* batch,
                           std::vector<BatchOp>* stats_ops) {
  for (const auto& [pair, delta] : d->terms) {
    if (delta == 0) continue;
    const auto& [ns, token] = pair;
    ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> stored,
                        text_term_stats(t.backend, t.caches, ns, token));
    const uint64_t current = stored.value_or(0);
    ZV_ASSIGN_OR_RETURN(uint64_t next, checked_stat_add(current, delta, "df"));
    std::string key = term_stats_key(ns, token);
    stats_ops->push_back(next != 0 ? BatchOp::put(Partition::kTextIndex, std::move(key),
                                                  encode_term_stats(next))
                                   : BatchOp::del(Partition::kTextIndex, std::move(key)));
    d->entries.term_stats_entries += entry_move(current, next);
  }
  for (const auto& [ns, delta] : d->namespaces) {
    if (delta.doc_count == 0 && delta.total_doc_len == 0) continue;
    ZV_ASSIGN_OR_RETURN(std::optional<TextNamespaceStats> stored,
                        text_namespace_stats(t.backend, t.caches, ns));
    const TextNamespaceStats current = stored.value_or(TextNamespaceStats{});
    ZV_ASSIGN_OR_RETURN(uint64_t count, checked_stat_add(current.doc_count, delta.doc_count,
                                                         "doc_count"));
    ZV_ASSIGN_OR_RETURN(uint64_t len, checked_stat_add(current.total_doc_len,
                                                       delta.total_doc_len, "total_doc_len"));
    std::string key = namespace_stats_key(ns);
    stats_ops->push_back(count != 0 ? BatchOp::put(Partition::kTextIndex, std::move(key),
                                                   encode_namespace_stats(count, len))
                                    : BatchOp::del(Partition::kTextIndex, std::move(key)));
    d->entries.namespace_stats_entries += entry_move(current.doc_count, count);
  }
  batch->insert(batch->end(), stats_ops->begin(), stats_ops->end());
  return {};
}

}  // namespace

ZolvaStatus apply_record_change(const TextIndexTarget& t, const MemoryRecord* o,
                                const MemoryRecord* n) {
  OperationalCounters& counters = OperationalCounters::global();
  std::vector<BatchOp> batch;
  uint64_t skipped_payload_keys = 0;
  uint64_t skipped_tokens = 0;

  // 1. Derived entries.
  if (o != nullptr) {
    ZV_ASSIGN_OR_RETURN(std::vector<BatchOp> dels, derived_index_delete_ops(*o));
    batch = std::move(dels);
  }
  if (n != nullptr) ZV_TRY(append_derived_index_put_ops(*n, &batch, &skipped_payload_keys));

  // 2 and 3. Text entries of the old and the new record, with their deltas.
  ChangeDeltas deltas;
  std::optional<uint64_t> old_postings;
  std::optional<uint64_t> new_postings;
  if (o != nullptr) {
    const TextTokenStats s = indexed_token_stats(o->ns, o->key, o->payload);
    remove_old_text(*o, s, &deltas, &batch);
    old_postings = s.term_frequencies.size();
  }
  if (n != nullptr) {
    const TextTokenStats s = indexed_token_stats(n->ns, n->key, n->payload, &skipped_tokens);
    ZV_TRY(add_new_text(*n, s, &deltas, &batch));
    new_postings = s.term_frequencies.size();
  }

  // 4 to 11 under the text-index mutex: the statistics read here are the
  // ones the batch replaces, and the state records move one change at a time.
  std::lock_guard text_change(t.locks.text_change);
  std::vector<BatchOp> stats_ops;
  ZV_TRY(statistics_ops(t, &deltas, &batch, &stats_ops));

  // 6. Sparse postings.
  if (o != nullptr) {
    for (BatchOp& op : sparse_posting_delete_ops(*o)) batch.push_back(std::move(op));
  }
  if (n != nullptr) {
    ZV_ASSIGN_OR_RETURN(std::vector<BatchOp> puts, sparse_posting_put_ops(*n));
    for (BatchOp& op : puts) batch.push_back(std::move(op));
  }

  // 7 and 8. One atomic write, then the caches follow it.
  ZV_TRY(t.kv.kv_write_batch(std::move(batch)));
  refresh_stats_caches(t.caches, stats_ops);
  if (skipped_payload_keys != 0) counters.derived_payload_keys_skipped.add(skipped_payload_keys);
  if (skipped_tokens != 0) counters.text_tokens_skipped.add(skipped_tokens);

  // 9 to 11. The three state records.
  ZV_TRY(update_derived_index_state(t.backend, t.kv, o, n));
  ZV_TRY(update_text_index_state(t.backend, t.kv, old_postings, new_postings, deltas.entries));
  ZV_TRY(update_sparse_index_state(t.backend, t.kv, o, n));

  // 12.
  if (new_postings && *new_postings != 0) counters.text_postings_written.add(*new_postings);
  return {};
}

}  // namespace zv::text
