#include "tervik/compaction/filter_accessor.h"

namespace tervik {

FilterAccessor::FilterAccessor(FilterAccessorParts parts)
    : parts_(std::move(parts)), separation_(parts_.config->kv_separation_opts) {}

void FilterAccessor::finish_filter() {
  std::unique_ptr<CompactionFilter> filter = std::move(parts_.filter);
  if (filter) filter->finish();
}

std::optional<BlobFileMultiWriter> FilterAccessor::take_blob_writer() {
  std::optional<BlobFileMultiWriter> out = std::move(blob_writer_);
  blob_writer_.reset();
  return out;
}

}  // namespace tervik
