#include "morva/src/tree_compaction.h"

namespace morva {

tervik::TervikStatus compact_tree(const tervik::Tree& tree, tervik::compaction::StrategyHandle strategy,
                                  tervik::SeqNo gc_watermark) {
  (void)tree;
  (void)strategy;
  (void)gc_watermark;
  // The tree's compaction run is not available in this build yet.
  return zv::make_unexpected(tervik::TervikError::io(
      zv::IoError(zv::IoErrorKind::kUnsupported, "tree compaction is not available")));
}

}  // namespace morva
