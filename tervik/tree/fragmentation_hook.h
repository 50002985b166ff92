// The dropped-item hook of a blob tree's compaction: every value the merge
// drops that points into a blob file is counted as garbage of that file in
// the run's FragmentationMap (1 value, its size, its stored size). A pointer
// that does not decode is damaged stored data: the hook logs it, keeps the
// first such failure and the merge fails with it at its next step. Owned by
// the run, stepped by the merge's thread.
#pragma once

#include <optional>

#include "tervik/core/error.h"
#include "tervik/merge/compaction_stream.h"
#include "tervik/version/fragmentation_map.h"

namespace tervik::compaction {

inline constexpr const char* kBadDroppedIndirection = "should parse BlobIndirection";

class FragmentationHook final : public DroppedItemHook {
 public:
  void on_dropped(const InternalValue& entry) override;

  // The first failure, taken out (none when every drop was counted).
  std::optional<TervikError> take_failure();
  // The findings so far, moved out.
  FragmentationMap take_map() && { return std::move(map_); }
  const FragmentationMap& map() const { return map_; }

 private:
  FragmentationMap map_;
  std::optional<TervikError> failure_;
};

}  // namespace tervik::compaction
