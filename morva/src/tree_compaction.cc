#include "morva/src/tree_compaction.h"

namespace morva {

tervik::TervikStatus compact_tree(const tervik::Tree& tree, tervik::compaction::StrategyHandle strategy,
                                  tervik::SeqNo gc_watermark) {
  return tree.compact(std::move(strategy), gc_watermark);
}

}  // namespace morva
