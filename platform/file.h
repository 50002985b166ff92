// An open file: positioned and sequential reads and writes, length changes and
// flushes to disk. Closed when destroyed. A File may be shared by threads for
// positioned reads and writes; the sequential cursor is not synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/io_error.h"

namespace zv {

struct OpenOptions {
  bool read = true;
  bool write = false;
  bool append = false;
  bool create = false;      // create when missing
  bool create_new = false;  // create, failing when the file exists
  bool truncate = false;
};

class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  static IoResult<File> open(const std::string& path, const OpenOptions& opts);
  static IoResult<File> open_read(const std::string& path);
  static IoResult<File> open_read_write(const std::string& path);
  // Creates or truncates the file, opened for reading and writing.
  static IoResult<File> create(const std::string& path);
  // Creates the file, failing with kAlreadyExists when it exists.
  static IoResult<File> create_new(const std::string& path);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Reads up to n bytes at offset; fewer only at the end of the file.
  IoResult<size_t> read_at(void* buf, size_t n, uint64_t offset) const;
  // Reads exactly n bytes at offset; a short read fails with kUnexpectedEof
  // ("failed to fill whole buffer").
  IoStatus read_exact_at(void* buf, size_t n, uint64_t offset) const;
  IoStatus write_all_at(const void* buf, size_t n, uint64_t offset);

  // Sequential reads and writes at the file's own cursor.
  IoResult<size_t> read(void* buf, size_t n);
  IoStatus read_exact(void* buf, size_t n);
  IoStatus write_all(const void* buf, size_t n);
  IoStatus write_all(std::string_view bytes) { return write_all(bytes.data(), bytes.size()); }
  IoResult<uint64_t> seek(uint64_t offset);
  IoResult<uint64_t> seek_end();
  IoResult<uint64_t> position() const;

  IoResult<uint64_t> size() const;
  IoStatus set_len(uint64_t len);
  // fsync: data and metadata.
  IoStatus sync_all();
  // fdatasync: data and the metadata needed to read it back.
  IoStatus sync_data();

  IoStatus close();

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::string path_;
};

// The message of a short exact read, shared by every reader.
inline constexpr const char* kShortReadMessage = "failed to fill whole buffer";

}  // namespace zv
