#include "src/text/record_change.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <span>
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

// Steps 4 and 5 for the whole list: reads each statistic some change moves
// once, moves it change by change in list order (so a count that would go
// out of range fails as it would pair by pair, and each change's entry
// deltas are its own), and appends one Put or Delete per statistic to
// *stats_ops (the cache upkeep's input). A statistic whose summed delta is
// zero is still written, as the pair-by-pair path would leave it read,
// written and cached. Runs under the text-index mutex.
ZolvaStatus statistics_ops(const TextIndexTarget& t, std::span<ChangeDeltas> changes,
                           std::vector<BatchOp>* stats_ops) {
  std::map<std::pair<std::string, std::string>, uint64_t> terms;
  std::map<std::string, TextNamespaceStats> namespaces;
  for (const ChangeDeltas& d : changes) {
    for (const auto& [pair, delta] : d.terms) {
      if (delta != 0) terms.try_emplace(pair, 0);
    }
    for (const auto& [ns, delta] : d.namespaces) {
      if (delta.doc_count != 0 || delta.total_doc_len != 0) namespaces.try_emplace(ns);
    }
  }
  for (auto& [pair, value] : terms) {
    ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> stored,
                        text_term_stats(t.backend, t.caches, pair.first, pair.second));
    value = stored.value_or(0);
  }
  for (auto& [ns, value] : namespaces) {
    ZV_ASSIGN_OR_RETURN(std::optional<TextNamespaceStats> stored,
                        text_namespace_stats(t.backend, t.caches, ns));
    value = stored.value_or(TextNamespaceStats{});
  }
  for (ChangeDeltas& d : changes) {
    for (const auto& [pair, delta] : d.terms) {
      if (delta == 0) continue;
      uint64_t& current = terms.find(pair)->second;
      ZV_ASSIGN_OR_RETURN(uint64_t next, checked_stat_add(current, delta, "df"));
      d.entries.term_stats_entries += entry_move(current, next);
      current = next;
    }
    for (const auto& [ns, delta] : d.namespaces) {
      if (delta.doc_count == 0 && delta.total_doc_len == 0) continue;
      TextNamespaceStats& current = namespaces.find(ns)->second;
      ZV_ASSIGN_OR_RETURN(uint64_t count, checked_stat_add(current.doc_count, delta.doc_count,
                                                           "doc_count"));
      ZV_ASSIGN_OR_RETURN(uint64_t len, checked_stat_add(current.total_doc_len,
                                                         delta.total_doc_len, "total_doc_len"));
      d.entries.namespace_stats_entries += entry_move(current.doc_count, count);
      current = TextNamespaceStats{count, len};
    }
  }
  for (const auto& [pair, value] : terms) {
    std::string key = term_stats_key(pair.first, pair.second);
    stats_ops->push_back(value != 0 ? BatchOp::put(Partition::kTextIndex, std::move(key),
                                                   encode_term_stats(value))
                                    : BatchOp::del(Partition::kTextIndex, std::move(key)));
  }
  for (const auto& [ns, value] : namespaces) {
    std::string key = namespace_stats_key(ns);
    stats_ops->push_back(value.doc_count != 0
                             ? BatchOp::put(Partition::kTextIndex, std::move(key),
                                            encode_namespace_stats(value.doc_count,
                                                                   value.total_doc_len))
                             : BatchOp::del(Partition::kTextIndex, std::move(key)));
  }
  return {};
}

}  // namespace

ZolvaStatus apply_record_change(const TextIndexTarget& t, const MemoryRecord* o,
                                const MemoryRecord* n) {
  const RecordPair change{o, n};
  return apply_record_changes(t, std::span<const RecordPair>(&change, 1));
}

ZolvaStatus apply_record_changes(const TextIndexTarget& t, std::span<const RecordPair> changes) {
  if (changes.empty()) return {};
  OperationalCounters& counters = OperationalCounters::global();
  std::vector<BatchOp> batch;
  uint64_t skipped_payload_keys = 0;
  uint64_t skipped_tokens = 0;
  std::vector<ChangeDeltas> deltas(changes.size());
  std::vector<TextStateMove> moves(changes.size());

  for (size_t i = 0; i < changes.size(); ++i) {
    const auto& [o, n] = changes[i];
    // 1. Derived entries.
    if (o != nullptr) {
      ZV_ASSIGN_OR_RETURN(std::vector<BatchOp> dels, derived_index_delete_ops(*o));
      for (BatchOp& op : dels) batch.push_back(std::move(op));
    }
    if (n != nullptr) ZV_TRY(append_derived_index_put_ops(*n, &batch, &skipped_payload_keys));

    // 2 and 3. Text entries of the old and the new record, with their deltas.
    if (o != nullptr) {
      const TextTokenStats s = indexed_token_stats(o->ns, o->key, o->payload);
      remove_old_text(*o, s, &deltas[i], &batch);
      moves[i].old_postings = s.term_frequencies.size();
    }
    if (n != nullptr) {
      const TextTokenStats s = indexed_token_stats(n->ns, n->key, n->payload, &skipped_tokens);
      ZV_TRY(add_new_text(*n, s, &deltas[i], &batch));
      moves[i].new_postings = s.term_frequencies.size();
    }
  }

  // 4 to 11 under the text-index mutex: the statistics read here are the
  // ones the batch replaces, and the state records move one batch at a time.
  std::lock_guard text_change(t.locks.text_change);
  std::vector<BatchOp> stats_ops;
  ZV_TRY(statistics_ops(t, deltas, &stats_ops));
  batch.insert(batch.end(), stats_ops.begin(), stats_ops.end());

  // 6. Sparse postings.
  for (const auto& [o, n] : changes) {
    if (o != nullptr) {
      for (BatchOp& op : sparse_posting_delete_ops(*o)) batch.push_back(std::move(op));
    }
    if (n != nullptr) {
      ZV_ASSIGN_OR_RETURN(std::vector<BatchOp> puts, sparse_posting_put_ops(*n));
      for (BatchOp& op : puts) batch.push_back(std::move(op));
    }
  }

  // 7 and 8. One atomic write, then the caches follow it. A batch of many
  // changes goes in key order (stable, so one key's delete still precedes
  // its put): the backend then walks its tree along neighbouring keys.
  if (changes.size() > 1) {
    std::stable_sort(batch.begin(), batch.end(), [](const BatchOp& a, const BatchOp& b) {
      return a.partition != b.partition ? a.partition < b.partition : a.key < b.key;
    });
  }
  ZV_TRY(t.kv.kv_write_batch(std::move(batch)));
  refresh_stats_caches(t.caches, stats_ops);
  if (skipped_payload_keys != 0) counters.derived_payload_keys_skipped.add(skipped_payload_keys);
  if (skipped_tokens != 0) counters.text_tokens_skipped.add(skipped_tokens);

  // 9 to 11. The three state records, each read and written once.
  uint64_t postings_written = 0;
  for (size_t i = 0; i < changes.size(); ++i) {
    moves[i].deltas = deltas[i].entries;
    postings_written += moves[i].new_postings.value_or(0);
  }
  ZV_TRY(update_derived_index_state(t.backend, t.kv, changes));
  ZV_TRY(update_text_index_state(t.backend, t.kv, moves));
  ZV_TRY(update_sparse_index_state(t.backend, t.kv, changes));

  // 12.
  if (postings_written != 0) counters.text_postings_written.add(postings_written);
  return {};
}

}  // namespace zv::text
