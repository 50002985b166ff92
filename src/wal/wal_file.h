// The file operations the write-ahead log performs on its own files, behind a
// small interface so tests can fail a chosen write, sync or read without any
// cost to the operating-system implementation (one indirect call per
// operation that already costs a system call). A WalFile is used by one
// thread at a time; WalFileSystem implementations are stateless or
// internally synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/io_error.h"

namespace zv::wal {

class WalFile {
 public:
  virtual ~WalFile() = default;
  // Reads up to n bytes; fewer only at the end of the file.
  virtual IoResult<size_t> read_at(void* buf, size_t n, uint64_t offset) = 0;
  virtual IoStatus write_at(const void* buf, size_t n, uint64_t offset) = 0;
  virtual IoStatus set_len(uint64_t len) = 0;
  // Forces written data (and the size needed to read it back) to disk.
  virtual IoStatus sync() = 0;
  virtual IoResult<uint64_t> size() = 0;
};

enum class WalOpenMode {
  kRead,             // read-only, must exist
  kReadWriteCreate,  // read and write, created when missing, never truncated
  kCreateTruncate,   // read and write, created or truncated
};

class WalFileSystem {
 public:
  virtual ~WalFileSystem() = default;
  virtual IoResult<std::unique_ptr<WalFile>> open(const std::string& path, WalOpenMode mode) = 0;
  // The operating system's files (platform File underneath).
  static WalFileSystem& os();
};

// Reads exactly n bytes; a short read is kUnexpectedEof.
IoStatus read_exact_at(WalFile& file, void* buf, size_t n, uint64_t offset);

}  // namespace zv::wal
