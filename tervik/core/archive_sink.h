// Sinks of the table-archive container: one that writes through a file's
// checksummed, buffered writer (table and blob files, so that the table of
// contents and trailer enter the file's checksum) and one that collects the
// archive in memory (version files). Each owned by one writing thread.
#pragma once

#include <string>
#include <string_view>

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

// Collects an archive in memory, for small files written whole in one step
// (version files). Owned by one thread.
class StringArchiveSink final : public zv::archive::Sink {
 public:
  zv::IoStatus write_all(std::string_view bytes) override {
    bytes_.append(bytes);
    return {};
  }
  zv::IoStatus flush() override { return {}; }
  zv::IoResult<uint64_t> position() override { return uint64_t{bytes_.size()}; }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

}  // namespace tervik
