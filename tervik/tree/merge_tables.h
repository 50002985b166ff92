// The merge loop of a merge compaction: the input readers merged into one
// garbage-collecting stream (shadowed versions below the watermark drained,
// tombstones evicted in the last level), each live head shown first to the
// run's compaction filter, every surviving item handed to the flavour, and
// the tree's stop signal checked after the first and then every millionth
// item. Runs on the compaction's thread without any lock.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "tervik/compaction/choice.h"
#include "tervik/compaction/filter_accessor.h"
#include "tervik/core/read_item.h"
#include "tervik/merge/compaction_stream.h"
#include "tervik/tree/compaction_flavour.h"
#include "tervik/tree/compaction_options.h"
#include "tervik/tree/fragmentation_hook.h"

namespace tervik::compaction {

inline constexpr uint64_t kStopCheckInterval = 1000000;
inline constexpr const char* kCompactionFailed = "Compaction failed: ";

enum class MergeOutcome { kCompleted, kStopped };

struct MergeSettings {
  SeqNo gc_seqno_threshold = 0;
  // True when the merge writes the tree's last level.
  bool evict_tombstones = false;
  // Sees every item the merge drops (lent); none for a standard tree. A
  // failure it keeps ends the merge at the next step.
  FragmentationHook* dropped_item_hook = nullptr;
  // The filter state (lent); none without a filter factory.
  FilterAccessor* filter = nullptr;
};

// The input's tables must be hidden. On an error (logged) they are shown
// again before it is returned; on a stop or completion the caller shows
// them. The readers are released before returning.
TervikResult<MergeOutcome> merge_tables(const Input& input, std::vector<std::unique_ptr<ItemSource>> readers,
                                        const MergeSettings& settings, CompactionFlavour& flavour,
                                        const CompactionOptions& options);

}  // namespace tervik::compaction
