// The inputs of one compaction run, built anew by Tree::compact for each
// run: shared handles of the tree's parts (never the tree's own state, so
// that the tree's last handle can go, and raise the stop signal, while a run
// is under way), the strategy to consult and the MVCC watermark. A plain
// value; every handle in it is safe to share between threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "tervik/compaction/strategy.h"
#include "tervik/core/seqno.h"
#include "tervik/tree/tree_inner.h"

namespace tervik::compaction {

struct CompactionOptions {
  // Each installed version draws its seqno here.
  SeqNoCounter seqno;
  SeqNoCounter visible_seqno;
  SeqNoCounter table_id_counter;
  SeqNoCounter blob_file_id_counter;
  // The configuration, the super-version list with its lock, the
  // hidden-table set with its mutex, the install mutex and the version-file
  // layer.
  std::shared_ptr<TreeShared> tree;
  StrategyHandle strategy;
  // Raised when the tree's last handle goes; a merge gives up on seeing it.
  std::shared_ptr<const std::atomic<bool>> stop_signal;
  uint64_t tree_id = 0;
  // Versions below it that a newer one shadows are dropped; super versions
  // below it are collected.
  SeqNo mvcc_gc_watermark = 0;

  const TreeConfig& config() const { return tree->config; }
};

}  // namespace tervik::compaction
