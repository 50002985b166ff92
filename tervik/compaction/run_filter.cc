#include "tervik/compaction/run_filter.h"

#include "platform/debug_quote.h"
#include "platform/log.h"
#include "tervik/core/blob_indirection.h"

namespace tervik::compaction {

namespace {

FilterOutcome replace(ValueType type, std::string value) {
  return FilterOutcome{FilterOutcome::Kind::kReplace, type, std::move(value)};
}

// Writes `value` into the run's blob files and returns its encoded
// indirection; the first call opens the writer.
TervikResult<std::string> separate(FilterAccessor& a, const InternalValue& item,
                                   const std::string& value) {
  const KvSeparationOptions& sep = *a.separation();
  std::optional<BlobFileMultiWriter>& slot = a.blob_writer();
  if (!slot) {
    ZV_ASSIGN_OR_RETURN(BlobFileMultiWriter w,
                        BlobFileMultiWriter::create(a.blob_folder(), a.blob_file_id_counter(),
                                                    a.tree_id(), a.config().descriptor_table));
    w.set_target_size(sep.file_target_size);
    w.set_compression(sep.compression);
    slot.emplace(std::move(w));
  }
  ZV_ASSIGN_OR_RETURN(ValueHandle handle,
                      slot->write(item.key.user_key.view(), item.key.seqno, value));
  return BlobIndirection{handle, static_cast<uint32_t>(value.size())}.encode();
}

}  // namespace

std::unique_ptr<CompactionFilter> create_filter(CompactionFilterFactory& factory,
                                                const CompactionFilterContext& context) {
  ZV_LOG(zv::log::Level::kTrace, kWorkerLogTarget,
         "Installing custom compaction filter " + zv::debug_quote(factory.name()));
  return factory.make_filter(context);
}

TervikResult<FilterOutcome> run_filter(FilterAccessor& accessor, const InternalValue& item) {
  CompactionFilter* filter = accessor.filter();
  if (filter == nullptr) return FilterOutcome{};
  ZV_ASSIGN_OR_RETURN(FilterVerdict verdict,
                      filter->filter_item(item, accessor, accessor.context()));
  switch (verdict.kind) {
    case FilterVerdict::Kind::kKeep:
      return FilterOutcome{};
    case FilterVerdict::Kind::kToTombstone:
      return replace(ValueType::kTombstone, {});
    case FilterVerdict::Kind::kToWeakTombstone:
      return replace(ValueType::kWeakTombstone, {});
    case FilterVerdict::Kind::kDiscard:
      return FilterOutcome{FilterOutcome::Kind::kDiscard, ValueType::kValue, {}};
    case FilterVerdict::Kind::kSetValue:
      break;
  }
  const auto& sep = accessor.separation();
  if (!sep || verdict.value.size() < sep->separation_threshold) {
    return replace(ValueType::kValue, std::move(verdict.value));
  }
  ZV_ASSIGN_OR_RETURN(std::string indirection, separate(accessor, item, verdict.value));
  return replace(ValueType::kIndirection, std::move(indirection));
}

}  // namespace tervik::compaction
