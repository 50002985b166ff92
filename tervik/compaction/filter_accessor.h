// The filter state of one merge compaction: what the run lends the filter
// (configuration, tree id, the version holding the input tables, the blob
// folder, the context), the filter itself and the blob writer that the first
// separated new value opens. Belongs to the one thread that runs the merge.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tervik/blob/blob_file_multi_writer.h"
#include "tervik/compaction/compaction_filter.h"
#include "tervik/config/tree_config.h"
#include "tervik/core/seqno.h"
#include "tervik/version/version.h"

namespace tervik {

struct FilterAccessorParts {
  SeqNoCounter blob_file_id_counter;
  std::shared_ptr<const TreeConfig> config;
  uint64_t tree_id = 0;
  Version version;
  // The tree folder's "blobs" folder.
  std::string blob_folder;
  CompactionFilterContext context;
  // None: every item is kept.
  std::unique_ptr<CompactionFilter> filter;
};

class FilterAccessor {
 public:
  // Takes the separation options from the configuration.
  explicit FilterAccessor(FilterAccessorParts parts);

  const TreeConfig& config() const { return *parts_.config; }
  uint64_t tree_id() const { return parts_.tree_id; }
  const Version& version() const { return parts_.version; }
  const std::string& blob_folder() const { return parts_.blob_folder; }
  const CompactionFilterContext& context() const { return parts_.context; }
  const std::optional<KvSeparationOptions>& separation() const { return separation_; }
  const SeqNoCounter& blob_file_id_counter() const { return parts_.blob_file_id_counter; }

  CompactionFilter* filter() { return parts_.filter.get(); }
  // Empty until the first separated value.
  std::optional<BlobFileMultiWriter>& blob_writer() { return blob_writer_; }

  // Lets the filter finish (once) and releases it.
  void finish_filter();
  // Hands over the blob writer, empty when nothing was separated.
  std::optional<BlobFileMultiWriter> take_blob_writer();

 private:
  FilterAccessorParts parts_;
  std::optional<KvSeparationOptions> separation_;
  std::optional<BlobFileMultiWriter> blob_writer_;
};

}  // namespace tervik
