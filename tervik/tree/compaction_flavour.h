// The output writers of a merge compaction. A merge streams its surviving
// items, in key order, into a flavour and, once the stream is done, asks it
// to finish: close the output files, derive the next version, persist it,
// publish it and mark the replaced files deleted. StandardCompaction writes
// every item into new tables of the destination level. A flavour belongs to
// the one thread that runs its merge.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tervik/compaction/choice.h"
#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"
#include "tervik/table/multi_writer.h"
#include "tervik/tree/compaction_options.h"
#include "tervik/version/fragmentation_map.h"
#include "tervik/version/version.h"

namespace tervik::compaction {

inline constexpr const char* kFlavourTarget = "tervik::compaction::flavour";

// The start of the warning a failed collection of old version files logs
// after an install: "Manifest maintenance failed: tree 3: ".
std::string manifest_gc_failure(uint64_t tree_id);

class CompactionFlavour {
 public:
  virtual ~CompactionFlavour() = default;
  // One surviving item, in the stream's order.
  virtual TervikStatus write(InternalValue item) = 0;
  // Finishes the output and installs the next version, in which the new
  // tables replace the input's tables in its destination level; the filter's
  // blob files join it. The caller holds the hidden-table mutex and the
  // install mutex. An error before the publish leaves the tree as it was
  // (the new files stay on disk, listed by no version). Call once.
  virtual TervikStatus finish(const CompactionOptions& options, const Input& input,
                              FragmentationMap diff, std::vector<BlobFileHandle> filter_blob_files) = 0;
};

// The flavour of every merge without blob relocation.
class StandardCompaction final : public CompactionFlavour {
 public:
  // `writer` writes into the tree's tables folder with the destination
  // level's options; `input_tables` are held until the output is finished.
  StandardCompaction(MultiWriter writer, std::vector<Table> input_tables);

  TervikStatus write(InternalValue item) override;
  TervikStatus finish(const CompactionOptions& options, const Input& input, FragmentationMap diff,
                      std::vector<BlobFileHandle> filter_blob_files) override;

  // Finishes the table writer and opens every table it wrote from `folder`,
  // global seqno 0, index and filter blocks pinned as `level` asks. The
  // first error is returned; no file is deleted.
  static TervikResult<std::vector<Table>> finish_tables(MultiWriter writer, const std::string& folder,
                                                        const CompactionOptions& options, uint8_t level);

 private:
  MultiWriter table_writer_;
  uint64_t start_ns_;
  std::vector<Table> input_tables_;
};

}  // namespace tervik::compaction
