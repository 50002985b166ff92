#include "morva/src/tree_meta_tree.h"

#include "morva/src/tree_compaction.h"
#include "tervik/tree/ingestion.h"
#include "tervik/tree/tree_iter.h"

namespace morva {

tervik::TervikResult<std::optional<std::string>> TreeMetaTree::get(std::string_view key,
                                                                   tervik::SeqNo bound) const {
  ZV_ASSIGN_OR_RETURN(std::optional<tervik::InternalValue> v, tree_.get(key, bound));
  if (!v) return std::optional<std::string>();
  return std::optional<std::string>(std::string(v->value.view()));
}

tervik::TervikStatus TreeMetaTree::scan_prefix(std::string_view prefix, tervik::SeqNo bound,
                                               const Visitor& visit) const {
  const tervik::KeyRange range{tervik::Bound::included(tervik::Slice(prefix)), tervik::Bound::unbounded()};
  tervik::TreeIter it = tervik::TreeIter::create_range(tree_.get_version_for_snapshot(bound), range, bound);
  while (tervik::ReadItem item = it.next()) {
    if (!item->ok()) return zv::make_unexpected(std::move(*item).error());
    const std::string_view key = (*item)->key.user_key.view();
    if (key.substr(0, prefix.size()) != prefix) break;
    visit(key, (*item)->value.view());
  }
  return {};
}

tervik::TervikStatus TreeMetaTree::ingest(const std::vector<MetaEntry>& sorted) {
  if (sorted.empty()) return {};
  ZV_ASSIGN_OR_RETURN(tervik::Ingestion ingestion, tervik::Ingestion::create(tree_));
  for (const MetaEntry& e : sorted) ZV_TRY(ingestion.write(e.key, e.value));
  return std::move(ingestion).finish();
}

tervik::TervikStatus TreeMetaTree::compact(tervik::compaction::StrategyHandle strategy,
                                           tervik::SeqNo gc_watermark) {
  return compact_tree(tree_, std::move(strategy), gc_watermark);
}

}  // namespace morva
