// Byte sinks and sources of the tree's file formats: the Writer and Reader
// interfaces that checksummed wrappers layer over, a buffered file writer, and
// sequential, positioned and buffered file readers. Each object belongs to the
// one thread that streams its file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/io_error.h"

namespace tervik {

inline constexpr const char* kWriteZeroMessage = "failed to write whole buffer";

// A sink: write() accepts some prefix of the bytes and reports its length.
class Writer {
 public:
  virtual ~Writer() = default;
  virtual zv::IoResult<size_t> write(const uint8_t* data, size_t n) = 0;
};

// A source: read() fills some prefix of the buffer; 0 means the end.
class Reader {
 public:
  virtual ~Reader() = default;
  virtual zv::IoResult<size_t> read(uint8_t* buf, size_t n) = 0;
};

// Hands every byte to w.write(), retrying interruptions; a write that accepts
// nothing fails with "failed to write whole buffer" (write zero).
zv::IoStatus write_all(Writer& w, const void* data, size_t n);
inline zv::IoStatus write_all(Writer& w, std::string_view bytes) {
  return write_all(w, bytes.data(), bytes.size());
}
// Fills the whole buffer, retrying interruptions; an early end fails with
// "failed to fill whole buffer" (unexpected end of file).
zv::IoStatus read_exact(Reader& r, void* buf, size_t n);

// Buffers writes to a file (owned, or borrowed from the caller). Flushes when
// destroyed, ignoring errors: callers that need the data call flush() or a sync.
class BufferedFileWriter final : public Writer {
 public:
  static constexpr size_t kDefaultCapacity = 64 * 1024;

  explicit BufferedFileWriter(zv::File file, size_t capacity = kDefaultCapacity);
  explicit BufferedFileWriter(zv::File* borrowed, size_t capacity = kDefaultCapacity);
  ~BufferedFileWriter() override;
  BufferedFileWriter(const BufferedFileWriter&) = delete;
  BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;

  zv::IoResult<size_t> write(const uint8_t* data, size_t n) override;
  zv::IoStatus flush();
  // The position of the next byte written: the file's cursor plus the buffer.
  zv::IoResult<uint64_t> position() const;
  // Flush, then fsync (data and metadata) / fdatasync.
  zv::IoStatus sync_all();
  zv::IoStatus sync_data();
  zv::File& file() { return *file_; }

 private:
  zv::File owned_;
  zv::File* file_;
  std::vector<uint8_t> buf_;
  size_t capacity_;
};

// Reads a file at its own cursor (owned or borrowed file).
class FileReader final : public Reader {
 public:
  explicit FileReader(zv::File file) : owned_(std::move(file)), file_(&owned_) {}
  explicit FileReader(zv::File* borrowed) : file_(borrowed) {}
  zv::IoResult<size_t> read(uint8_t* buf, size_t n) override { return file_->read(buf, n); }

 private:
  zv::File owned_;
  zv::File* file_;
};

// Reads a shared file from a start offset with positioned reads, so that
// several readers of one open file need no common cursor.
class PositionedFileReader final : public Reader {
 public:
  PositionedFileReader(const zv::File& file, uint64_t offset) : file_(&file), offset_(offset) {}
  zv::IoResult<size_t> read(uint8_t* buf, size_t n) override;
  uint64_t offset() const { return offset_; }

 private:
  const zv::File* file_;
  uint64_t offset_;
};

// Buffers reads from another reader (owned).
class BufferedReader final : public Reader {
 public:
  static constexpr size_t kDefaultCapacity = 64 * 1024;
  explicit BufferedReader(std::unique_ptr<Reader> inner, size_t capacity = kDefaultCapacity)
      : inner_(std::move(inner)), buf_(capacity == 0 ? 1 : capacity) {}
  zv::IoResult<size_t> read(uint8_t* buf, size_t n) override;

 private:
  std::unique_ptr<Reader> inner_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

}  // namespace tervik
