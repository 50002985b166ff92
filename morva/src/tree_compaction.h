// The one place where the engine runs a tree's compaction: the worker loop's
// Compact and the meta keyspace's maintenance both come here. Thread-safe.
#pragma once

#include "tervik/compaction/strategy.h"
#include "tervik/core/error.h"
#include "tervik/core/seqno.h"
#include "tervik/tree/tree.h"

namespace morva {

// One compaction run of `tree` chosen by `strategy`, dropping versions that
// no snapshot below `gc_watermark` can see.
tervik::TervikStatus compact_tree(const tervik::Tree& tree, tervik::compaction::StrategyHandle strategy,
                                  tervik::SeqNo gc_watermark);

}  // namespace morva
