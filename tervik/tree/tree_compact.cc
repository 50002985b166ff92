// Tree::compact: one compaction run over the tree's shared parts.
#include "platform/log.h"
#include "tervik/tree/compaction_run.h"
#include "tervik/tree/tree.h"

namespace tervik {

TervikStatus Tree::compact(compaction::StrategyHandle strategy, SeqNo watermark) const {
  const TreeInner& in = *inner_;
  auto running = in.compaction_lock.read();
  const compaction::CompactionOptions options{in.config.seqno,    in.config.visible_seqno,
                                              in.table_id_counter, in.blob_file_id_counter,
                                              in.shared,          std::move(strategy),
                                              in.stop_signal,     in.id,
                                              watermark};
  ZV_TRY(compaction::run_compaction(options));
  ZV_LOG(zv::log::Level::kDebug, kTreeTarget, "Compaction run over");
  return {};
}

}  // namespace tervik
