// Writes one archive: the user writes each section's bytes straight through
// the sink and names sections with start_section; finish appends the table of
// contents and the trailer. Used by the table, blob and version file writers.
// Owned by the one thread that writes the file; not thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/src/archive_error.h"
#include "archive/src/sink.h"
#include "archive/src/toc.h"

namespace zv::archive {

class ArchiveWriter {
 public:
  // `inner` must be positioned at the start of a new, empty file and outlive
  // the writer; whoever created it keeps owning it.
  explicit ArchiveWriter(Sink& inner) : inner_(&inner) {}

  ArchiveWriter(ArchiveWriter&&) = default;
  ArchiveWriter& operator=(ArchiveWriter&&) = default;
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  // The writer that section bytes go through.
  Sink& inner() { return *inner_; }

  // Closes the current section and begins `name` at the current position.
  IoStatus start_section(std::string_view name);
  // Records the current section (nothing while nothing has been written) and
  // begins an unnamed one at the current position.
  IoStatus finish_section();
  // Records the last section, writes the table of contents and the trailer and
  // flushes. The writer must not be used afterwards. Errors are always `Io`;
  // a failed finish leaves a file without a valid trailer.
  ArchiveResult<void> finish();

  const std::vector<TocEntry>& entries() const { return entries_; }

 private:
  Sink* inner_;
  uint64_t section_start_ = 0;
  std::string current_name_;
  std::vector<TocEntry> entries_;
  bool finished_ = false;
};

}  // namespace zv::archive
