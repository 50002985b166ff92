#include "tervik/tree/merge_tables.h"

#include "platform/log.h"
#include "tervik/compaction/run_filter.h"
#include "tervik/merge/merger.h"

namespace tervik::compaction {

namespace {

using Box = std::unique_ptr<ItemSource>;

// The run's compaction filter as the stream's head filter.
class FilterHead final : public HeadFilter {
 public:
  FilterHead(FilterAccessor& accessor, DroppedItemHook* hook) : accessor_(accessor), hook_(hook) {}

  TervikResult<bool> filter(InternalValue& head) override {
    ZV_ASSIGN_OR_RETURN(FilterOutcome outcome, run_filter(accessor_, head));
    switch (outcome.kind) {
      case FilterOutcome::Kind::kKeep:
        return true;
      case FilterOutcome::Kind::kDiscard:
        if (hook_ != nullptr) hook_->on_dropped(head);
        return false;
      case FilterOutcome::Kind::kReplace:
        break;
    }
    if (hook_ != nullptr) hook_->on_dropped(head);
    head.key.value_type = outcome.value_type;
    head.value = Slice(outcome.value);
    return true;
  }

 private:
  FilterAccessor& accessor_;
  DroppedItemHook* hook_;
};

// The error exit: logged, the input shown again.
TervikError fail(const Input& input, const CompactionOptions& options, TervikError error) {
  ZV_ERROR(kWorkerLogTarget, kCompactionFailed + error.debug_string());
  auto hidden = options.tree->hidden_tables.lock();
  remove_all(options.tree->hidden, input.table_ids);
  return error;
}

}  // namespace

TervikResult<MergeOutcome> merge_tables(const Input& input, std::vector<Box> readers,
                                        const MergeSettings& settings, CompactionFlavour& flavour,
                                        const CompactionOptions& options) {
  std::optional<FilterHead> head_filter;
  if (settings.filter != nullptr) head_filter.emplace(*settings.filter, settings.dropped_item_hook);
  CompactionStreamOptions stream_options;
  stream_options.gc_seqno_threshold = settings.gc_seqno_threshold;
  stream_options.evict_tombstones = settings.evict_tombstones;
  stream_options.dropped_item_hook = settings.dropped_item_hook;
  stream_options.head_filter = head_filter ? &*head_filter : nullptr;
  auto stream = std::make_unique<CompactionStream<Merger<Box>>>(Merger<Box>(std::move(readers)), stream_options);

  for (uint64_t emitted = 0;; ++emitted) {
    ReadItem item = stream->next();
    if (settings.dropped_item_hook != nullptr) {
      if (std::optional<TervikError> failure = settings.dropped_item_hook->take_failure()) {
        stream.reset();
        return zv::make_unexpected(fail(input, options, std::move(*failure)));
      }
    }
    if (!item) return MergeOutcome::kCompleted;
    if (!item->ok()) {
      stream.reset();
      return zv::make_unexpected(fail(input, options, std::move(*item).error()));
    }
    if (TervikStatus st = flavour.write(std::move(**item)); !st.ok()) {
      stream.reset();
      return zv::make_unexpected(fail(input, options, std::move(st).error()));
    }
    if (emitted % kStopCheckInterval == 0 && options.stop_signal->load(std::memory_order_acquire)) {
      ZV_LOG(zv::log::Level::kDebug, kWorkerLogTarget, "Stopping amidst compaction because of stop signal");
      return MergeOutcome::kStopped;
    }
  }
}

}  // namespace tervik::compaction
