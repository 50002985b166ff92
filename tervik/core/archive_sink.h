// Lets the table-archive container write through a file's checksummed,
// buffered writer: the table, blob and version file writers hand one to their
// ArchiveWriter so that the table of contents and trailer enter the file's
// checksum. Borrows the writer; owned by the one thread writing the file.
#pragma once

#include "archive/src/sink.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/checksummed_io.h"

namespace tervik {

class ChecksummedArchiveSink final : public zv::archive::Sink {
 public:
  // `writer` must wrap a BufferedFileWriter and outlive the sink.
  explicit ChecksummedArchiveSink(ChecksummedWriter& writer)
      : writer_(&writer), file_(&writer.inner_as<BufferedFileWriter>()) {}

  zv::IoStatus write_all(std::string_view bytes) override { return writer_->write_all(bytes); }
  zv::IoStatus flush() override { return file_->flush(); }
  zv::IoResult<uint64_t> position() override { return file_->position(); }

 private:
  ChecksummedWriter* writer_;
  BufferedFileWriter* file_;
};

}  // namespace tervik
