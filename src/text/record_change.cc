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

// A term statistic's delta, keyed by its cache key (namespace, 0x00,
// token), with where the token begins in that key.
struct TermDelta {
  size_t token_at = 0;
  int64_t delta = 0;
};

// The deltas a change computes before it reads any statistics. Maps are
// ordered by bytes, so the statistics operations follow (namespace, token)
// and namespace order.
struct ChangeDeltas {
  std::map<std::string, TermDelta, std::less<>> terms;
  std::map<std::string, NamespaceDelta> namespaces;
  TextEntryDeltas entries;
};

void add_term_deltas(std::string_view ns, const IndexedTokens& tokens, int64_t delta,
                     ChangeDeltas* d) {
  std::string key;
  for (const IndexedTokens::Term& t : tokens.terms) {
    key.assign(ns);
    key.push_back('\0');
    key.append(tokens.token(t));
    auto it = d->terms.find(key);
    if (it == d->terms.end()) it = d->terms.emplace(key, TermDelta{ns.size() + 1, 0}).first;
    it->second.delta += delta;
  }
}

void remove_old_text(const MemoryRecord& o, const IndexedTokens& s, ChangeDeltas* d,
                     std::vector<BatchOp>* batch) {
  for (const IndexedTokens::Term& t : s.terms) {
    batch->push_back(BatchOp::del(Partition::kTextIndex, posting_key(o.ns, s.token(t), o.key)));
  }
  batch->push_back(BatchOp::del(Partition::kTextIndex, doc_stats_key(o.ns, o.key)));
  add_term_deltas(o.ns, s, -1, d);
  NamespaceDelta& nd = d->namespaces[o.ns];
  nd.doc_count -= 1;
  nd.total_doc_len -= s.doc_len;
  d->entries.doc_stats_entries -= 1;
}

void add_new_text(const MemoryRecord& n, const IndexedTokens& s, ChangeDeltas* d,
                  std::vector<BatchOp>* batch) {
  append_posting_puts(n.ns, n.key, s, n.node_id, batch);
  batch->push_back(BatchOp::put(Partition::kTextIndex, doc_stats_key(n.ns, n.key),
                                encode_doc_stats(n.node_id, s.doc_len)));
  add_term_deltas(n.ns, s, 1, d);
  NamespaceDelta& nd = d->namespaces[n.ns];
  nd.doc_count += 1;
  nd.total_doc_len += s.doc_len;
  d->entries.doc_stats_entries += 1;
}

// The entry-count move of one statistics key going from `before` to `after`
// (zero meaning absent).
int64_t entry_move(uint64_t before, uint64_t after) {
  if (before == 0 && after != 0) return 1;
  if (before != 0 && after == 0) return -1;
  return 0;
}

// The statistics a list of changes moves, with their values after it.
struct TermAfter {
  size_t token_at = 0;  // in the cache key
  uint64_t value = 0;
};
struct StatisticsAfter {
  std::map<std::string, TermAfter, std::less<>> terms;  // by cache key
  std::map<std::string, TextNamespaceStats> namespaces;
};

// Steps 4 and 5 for the whole list: reads each statistic some change moves
// once, moves it change by change in list order (so a count that would go
// out of range fails as it would pair by pair, and each change's entry
// deltas are its own), and appends one Put or Delete per statistic to the
// batch. A statistic whose summed delta is zero is still written, as the
// pair-by-pair path would leave it read, written and cached. Runs under the
// text-index mutex.
ZolvaStatus statistics_ops(const TextIndexTarget& t, std::span<ChangeDeltas> changes,
                           StatisticsAfter* after, std::vector<BatchOp>* batch) {
  for (const ChangeDeltas& d : changes) {
    for (const auto& [key, term] : d.terms) {
      if (term.delta != 0) after->terms.try_emplace(key, TermAfter{term.token_at, 0});
    }
    for (const auto& [ns, delta] : d.namespaces) {
      if (delta.doc_count != 0 || delta.total_doc_len != 0) after->namespaces.try_emplace(ns);
    }
  }
  // The stored values, first from the cache (one lookup each, no key built).
  for (auto& [key, term] : after->terms) {
    const std::string_view k = key;
    ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> stored,
                        text_term_stats(t.backend, t.caches, k.substr(0, term.token_at - 1),
                                        k.substr(term.token_at)));
    term.value = stored.value_or(0);
  }
  for (auto& [ns, value] : after->namespaces) {
    ZV_ASSIGN_OR_RETURN(std::optional<TextNamespaceStats> stored,
                        text_namespace_stats(t.backend, t.caches, ns));
    value = stored.value_or(TextNamespaceStats{});
  }
  for (ChangeDeltas& d : changes) {
    for (const auto& [key, term] : d.terms) {
      if (term.delta == 0) continue;
      uint64_t& current = after->terms.find(key)->second.value;
      ZV_ASSIGN_OR_RETURN(uint64_t next, checked_stat_add(current, term.delta, "df"));
      d.entries.term_stats_entries += entry_move(current, next);
      current = next;
    }
    for (const auto& [ns, delta] : d.namespaces) {
      if (delta.doc_count == 0 && delta.total_doc_len == 0) continue;
      TextNamespaceStats& current = after->namespaces.find(ns)->second;
      ZV_ASSIGN_OR_RETURN(uint64_t count, checked_stat_add(current.doc_count, delta.doc_count,
                                                           "doc_count"));
      ZV_ASSIGN_OR_RETURN(uint64_t len, checked_stat_add(current.total_doc_len,
                                                         delta.total_doc_len, "total_doc_len"));
      d.entries.namespace_stats_entries += entry_move(current.doc_count, count);
      current = TextNamespaceStats{count, len};
    }
  }
  for (const auto& [key, term] : after->terms) {
    const std::string_view k = key;
    std::string stats_key = term_stats_key(k.substr(0, term.token_at - 1), k.substr(term.token_at));
    const uint64_t value = term.value;
    batch->push_back(value != 0 ? BatchOp::put(Partition::kTextIndex, std::move(stats_key),
                                               encode_term_stats(value))
                                : BatchOp::del(Partition::kTextIndex, std::move(stats_key)));
  }
  for (const auto& [ns, value] : after->namespaces) {
    std::string key = namespace_stats_key(ns);
    batch->push_back(value.doc_count != 0
                         ? BatchOp::put(Partition::kTextIndex, std::move(key),
                                        encode_namespace_stats(value.doc_count,
                                                               value.total_doc_len))
                         : BatchOp::del(Partition::kTextIndex, std::move(key)));
  }
  return {};
}

// The caches after the batch: the values just written win, a deleted
// statistic leaves its cache.
void refresh_caches(TextStatsCaches& caches, const StatisticsAfter& after) {
  for (const auto& [key, term] : after.terms) {
    if (term.value != 0) {
      caches.term.upsert(key, term.value);
    } else {
      caches.term.erase(key);
    }
  }
  for (const auto& [ns, value] : after.namespaces) {
    if (value.doc_count != 0) {
      caches.ns.upsert(ns, value);
    } else {
      caches.ns.erase(ns);
    }
  }
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
      const IndexedTokens s = indexed_tokens(o->ns, o->key, o->payload);
      remove_old_text(*o, s, &deltas[i], &batch);
      moves[i].old_postings = s.terms.size();
    }
    if (n != nullptr) {
      const IndexedTokens s = indexed_tokens(n->ns, n->key, n->payload, &skipped_tokens);
      add_new_text(*n, s, &deltas[i], &batch);
      moves[i].new_postings = s.terms.size();
    }
  }

  // 4 to 11 under the text-index mutex: the statistics read here are the
  // ones the batch replaces, and the state records move one batch at a time.
  std::lock_guard text_change(t.locks.text_change);
  StatisticsAfter after;
  ZV_TRY(statistics_ops(t, deltas, &after, &batch));

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
  refresh_caches(t.caches, after);
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
