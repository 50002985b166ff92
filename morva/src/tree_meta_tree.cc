#include "morva/src/tree_meta_tree.h"

#include <memory>

#include "morva/src/tree_compaction.h"
#include "tervik/memtable/memtable.h"
#include "tervik/merge/merger.h"
#include "tervik/merge/mvcc_stream.h"
#include "tervik/table/table_iter.h"

namespace morva {
namespace {

using Box = std::unique_ptr<tervik::DoubleEndedSource>;

}  // namespace

tervik::TervikResult<std::optional<std::string>> TreeMetaTree::get(std::string_view key,
                                                                   tervik::SeqNo bound) const {
  ZV_ASSIGN_OR_RETURN(std::optional<tervik::InternalValue> v, tree_.get(key, bound));
  if (!v) return std::optional<std::string>();
  return std::optional<std::string>(std::string(v->value.view()));
}

tervik::TervikStatus TreeMetaTree::scan_prefix(std::string_view prefix, tervik::SeqNo bound,
                                               const Visitor& visit) const {
  const tervik::SuperVersion sv = tree_.get_version_for_snapshot(bound);
  const tervik::KeyRange range{tervik::Bound::included(tervik::Slice(prefix)), tervik::Bound::unbounded()};
  std::vector<Box> sources;
  sources.push_back(std::make_unique<tervik::MemtableRange>(sv.active_memtable->range(range, bound)));
  for (const auto& m : sv.sealed_memtables->memtables()) {
    sources.push_back(std::make_unique<tervik::MemtableRange>(m->range(range, bound)));
  }
  for (const tervik::Table& t : sv.version.tables()) {
    sources.push_back(std::make_unique<tervik::SeqnoFilter<tervik::TableIter>>(
        t.range(range.lo, range.hi), bound));
  }
  tervik::TombstoneFilter<tervik::Merger<Box>> stream(tervik::Merger<Box>(std::move(sources)));
  while (tervik::ReadItem item = stream.next()) {
    if (!item->ok()) return zv::make_unexpected(std::move(*item).error());
    const std::string_view key = (*item)->key.user_key.view();
    if (key.substr(0, prefix.size()) != prefix) break;
    visit(key, (*item)->value.view());
  }
  return {};
}

tervik::TervikStatus TreeMetaTree::ingest(const std::vector<MetaEntry>& sorted) {
  // Ingestion and flushes of one tree never overlap.
  auto flushing = tree_.lock_flush();
  size_t next = 0;
  ZV_ASSIGN_OR_RETURN(std::vector<tervik::Table> tables, tree_.flush_to_tables([&]() -> tervik::ReadItem {
    if (next == sorted.size()) return std::nullopt;
    const MetaEntry& e = sorted[next++];
    return tervik::ReadItem(tervik::InternalValue::new_value(tervik::Slice(e.key), tervik::Slice(e.value), 0));
  }));
  return tree_.register_tables(std::move(tables), std::nullopt, std::nullopt, {}, 0);
}

tervik::TervikStatus TreeMetaTree::compact(tervik::compaction::StrategyHandle strategy,
                                           tervik::SeqNo gc_watermark) {
  return compact_tree(tree_, std::move(strategy), gc_watermark);
}

}  // namespace morva
