// The output writers of a merge compaction. A merge streams its surviving
// items, in key order, into a flavour and, once the stream is done, asks it
// to finish: close the output files, derive the next version, persist it,
// publish it and mark the replaced files deleted. StandardCompaction writes
// every item into new tables of the destination level; RelocatingCompaction
// also copies the live values of chosen blob files into new blob files and
// rewrites their pointers. A flavour belongs to
// the one thread that runs its merge.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <string>
#include <vector>

#include "tervik/compaction/choice.h"
#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"
#include "tervik/table/multi_writer.h"
#include "tervik/tree/compaction_options.h"
#include "tervik/version/fragmentation_map.h"
#include "tervik/version/version.h"

namespace tervik {
class BlobFileScanner;
class BlobFileMultiWriter;
}  // namespace tervik

namespace tervik::compaction {

inline constexpr const char* kFlavourTarget = "tervik::compaction::flavour";

// The start of the warning a failed collection of old version files logs
// after an install: "Manifest maintenance failed: tree 3: ".
std::string manifest_gc_failure(uint64_t tree_id);
// The time since `start_ns` (monotonic) as the completion messages show it.
std::string micros_since(uint64_t start_ns);

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

  // The two halves of finish, for a flavour built around this one: the
  // table writer finished and its tables opened (pinned by the destination
  // level), then the install. `new_blob_files` join the next version;
  // `relocated` and every blob file wholly stale by the latest version's
  // statistics leave it. Flags are set only once the version is published.
  TervikResult<std::vector<Table>> finish_own_tables(const CompactionOptions& options, uint8_t dest_level);
  TervikStatus install(const CompactionOptions& options, const Input& input, std::vector<Table> tables,
                       FragmentationMap diff, std::vector<BlobFileHandle> new_blob_files,
                       std::vector<BlobFileHandle> relocated);

  MultiWriter& table_writer() { return table_writer_; }
  uint64_t start_ns() const { return start_ns_; }

 private:
  MultiWriter table_writer_;
  uint64_t start_ns_;
  std::vector<Table> input_tables_;
};

// The flavour of a blob tree's merge when blob files are relocated: each
// pointer into a relocated file has its value copied, in its stored form,
// into the relocation blob writer and is rewritten to the copy; every other
// item passes through as in StandardCompaction. Each relocated file is read
// once, forwards, by its own scanner: its entries are in the order its
// writer wrote them, which is the order of the pointers into it, and the
// entries skipped on the way are garbage. A pointer its file does not hold
// is damaged stored data: logged, then Unrecoverable.
class RelocatingCompaction final : public CompactionFlavour {
 public:
  // One scanner per relocated file; `relocated` ascending by id.
  RelocatingCompaction(std::vector<BlobFileScanner> scanners, StandardCompaction inner,
                       std::unique_ptr<BlobFileMultiWriter> blob_writer, std::vector<BlobFileHandle> relocated);
  ~RelocatingCompaction() override;

  TervikStatus write(InternalValue item) override;
  TervikStatus finish(const CompactionOptions& options, const Input& input, FragmentationMap diff,
                      std::vector<BlobFileHandle> filter_blob_files) override;

 private:
  struct Source;

  std::unique_ptr<BlobFileMultiWriter> blob_writer_;
  StandardCompaction inner_;
  std::unordered_map<uint64_t, std::unique_ptr<Source>> sources_;  // by relocated blob file id
  std::vector<BlobFileHandle> relocated_blob_files_;
};

}  // namespace tervik::compaction
