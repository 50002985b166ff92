#include "tervik/tree/fragmentation_hook.h"

#include "tervik/core/blob_indirection.h"
#include "tervik/compaction/run_filter.h"

namespace tervik::compaction {

void FragmentationHook::on_dropped(const InternalValue& entry) {
  if (entry.key.value_type != ValueType::kIndirection) return;
  std::string_view bytes = entry.value.view();
  TervikResult<BlobIndirection> decoded = BlobIndirection::decode(&bytes);
  if (!decoded.ok()) {
    TervikError error = TervikError::logged_unrecoverable(kWorkerLogTarget, kBadDroppedIndirection);
    if (!failure_) failure_ = std::move(error);
    return;
  }
  map_.on_dropped(*decoded);
}

std::optional<TervikError> FragmentationHook::take_failure() {
  std::optional<TervikError> out = std::move(failure_);
  failure_.reset();
  return out;
}

}  // namespace tervik::compaction
