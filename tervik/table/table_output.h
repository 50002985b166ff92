// The output stack of one table file: the file created new, a 65,535-byte
// buffered writer, the checksummed writer that hashes every byte, and the
// archive writer that records the sections. The table writer and its index
// and filter writers write through it. Owned by one writing thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/src/writer.h"
#include "tervik/core/archive_sink.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/checksummed_io.h"
#include "tervik/core/error.h"

namespace tervik {

class TableOutput {
 public:
  static constexpr size_t kBufferSize = 65535;

  // Creates the file (failing when the name exists) and starts the archive
  // with nothing recorded at position 0.
  static TervikResult<std::unique_ptr<TableOutput>> create(const std::string& path);

  TableOutput(const TableOutput&) = delete;
  TableOutput& operator=(const TableOutput&) = delete;

  // The file's checksummed writer: section bytes and blocks go through it.
  ChecksummedWriter& writer() { return writer_; }
  TervikStatus start_section(std::string_view name);
  // Flushes the buffer and returns the file position.
  TervikResult<uint64_t> position();
  // Writes the table of contents and the trailer.
  TervikStatus finish_archive();
  // Sections recorded so far (all of them after finish_archive).
  const std::vector<zv::archive::TocEntry>& sections() const { return archive_.entries(); }
  // Flushes and syncs data and metadata.
  TervikStatus sync();
  Checksum checksum() const { return writer_.checksum(); }
  const std::string& path() const { return path_; }

 private:
  TableOutput(std::string path, zv::File file);

  std::string path_;
  ChecksummedWriter writer_;
  ChecksummedArchiveSink sink_;
  zv::archive::ArchiveWriter archive_;
};

}  // namespace tervik
