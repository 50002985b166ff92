// The meta keyspace's tree behind the MetaTree interface: point reads and
// prefix scans at a sequence-number bound, the bulk ingestion of a new
// keyspace's sorted entries (one new level-0 run of a persisted version), and
// the maintenance compaction. Thread-safe, as the tree is. Its installs draw
// from the database's sequence-number counter and raise the visible one, so
// the engine calls ingest and compact with the journal writer lock held.
#pragma once

#include "morva/src/meta_tree.h"
#include "tervik/tree/tree.h"

namespace morva {

class TreeMetaTree final : public MetaTree {
 public:
  explicit TreeMetaTree(tervik::Tree tree) : tree_(std::move(tree)) {}

  tervik::TervikResult<std::optional<std::string>> get(std::string_view key,
                                                       tervik::SeqNo bound) const override;
  tervik::TervikStatus scan_prefix(std::string_view prefix, tervik::SeqNo bound,
                                   const Visitor& visit) const override;
  tervik::TervikStatus ingest(const std::vector<MetaEntry>& sorted) override;
  tervik::TervikStatus compact(tervik::compaction::StrategyHandle strategy,
                               tervik::SeqNo gc_watermark) override;

  const tervik::Tree& tree() const { return tree_; }

 private:
  tervik::Tree tree_;
};

}  // namespace morva
