// Point reads at a snapshot.
#include <algorithm>

#include "tervik/block/bloom_filter.h"
#include "tervik/tree/tree.h"

namespace tervik {

namespace {

// The entry decides: a deletion hides the key, anything else is the answer.
std::optional<InternalValue> decided(InternalValue entry) {
  if (entry.is_tombstone()) return std::nullopt;
  return entry;
}

// The one table of a run that may hold `key`: the first whose largest key is
// at or above it, if its smallest key is at or below it.
const Table* candidate(const Run& run, std::string_view key) {
  const auto& tables = run.tables();
  auto it = std::partition_point(tables.begin(), tables.end(),
                                 [&](const Table& t) { return table_max_key(t).view() < key; });
  if (it == tables.end() || table_min_key(*it).view() > key) return nullptr;
  return &*it;
}

}  // namespace

SuperVersion Tree::get_version_for_snapshot(SeqNo snapshot) const {
  auto read = inner_->version_history.read();
  return inner_->versions.find_for_snapshot(snapshot);
}

TervikResult<std::optional<InternalValue>> Tree::get(std::string_view key, SeqNo snapshot) const {
  const SuperVersion sv = get_version_for_snapshot(snapshot);
  return get_from_version(sv, key, snapshot);
}

TervikResult<std::optional<InternalValue>> Tree::get_from_version(const SuperVersion& sv,
                                                                  std::string_view key,
                                                                  SeqNo snapshot) {
  if (auto e = sv.active_memtable->get(key, snapshot)) return decided(std::move(*e));
  const auto& sealed = sv.sealed_memtables->memtables();
  for (auto it = sealed.rbegin(); it != sealed.rend(); ++it) {
    if (auto e = (*it)->get(key, snapshot)) return decided(std::move(*e));
  }
  const uint64_t hash = BloomFilter::key_hash(key);
  for (const LevelHandle& level : sv.version.levels()) {
    for (const RunHandle& run : level->runs()) {
      const Table* table = candidate(*run, key);
      if (table == nullptr) continue;
      ZV_ASSIGN_OR_RETURN(std::optional<InternalValue> e, table->get(key, snapshot, hash));
      if (e) return decided(std::move(*e));
    }
  }
  return std::optional<InternalValue>();
}

}  // namespace tervik
