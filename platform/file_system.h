// The one injectable file layer: the file and path operations that durable
// structures (logs, journals, index files) perform, behind a small interface
// so that tests can fail a chosen write, sync, rename or open without any cost
// to the operating-system implementation (one indirect call per operation
// that already costs a system call). An FsFile is used by one thread at a
// time; FileSystem implementations are stateless or internally synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io_error.h"

namespace zv {

class FsFile {
 public:
  virtual ~FsFile() = default;
  // Reads up to n bytes; fewer only at the end of the file.
  virtual IoResult<size_t> read_at(void* buf, size_t n, uint64_t offset) = 0;
  virtual IoStatus write_at(const void* buf, size_t n, uint64_t offset) = 0;
  virtual IoStatus set_len(uint64_t len) = 0;
  // Forces written data (and the size needed to read it back) to disk.
  virtual IoStatus sync() = 0;
  // Forces data and all metadata to disk.
  virtual IoStatus sync_all() = 0;
  virtual IoResult<uint64_t> size() = 0;
};

enum class FsOpenMode {
  kRead,             // read-only, must exist
  kReadWriteCreate,  // read and write, created when missing, never truncated
  kCreateTruncate,   // read and write, created or truncated
  kCreateNew,        // read and write, fails when the file exists
  kReadWrite,        // read and write, must exist
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual IoResult<std::unique_ptr<FsFile>> open(const std::string& path, FsOpenMode mode) = 0;
  virtual bool exists(const std::string& path) = 0;
  // Renames, replacing an existing target atomically.
  virtual IoStatus rename(const std::string& from, const std::string& to) = 0;
  virtual IoStatus remove_file(const std::string& path) = 0;
  // Forces a directory's entries (created, renamed, removed files) to disk.
  virtual IoStatus sync_dir(const std::string& path) = 0;
  // Names of the entries of a directory (no "." or ".."), sorted.
  virtual IoResult<std::vector<std::string>> list_dir(const std::string& path) = 0;

  // The operating system's files (platform File and fs underneath).
  static FileSystem& os();
};

// Reads exactly n bytes; a short read is kUnexpectedEof.
IoStatus read_exact_at(FsFile& file, void* buf, size_t n, uint64_t offset);

// The whole content of a file.
IoResult<std::string> read_whole_file(FileSystem& fs, const std::string& path);

// Replaces `path` by `bytes` durably: "<path>.tmp" is written, synced and
// renamed over it, then the directory is synced.
IoStatus replace_file_durably(FileSystem& fs, const std::string& path, std::string_view bytes);

// The directory holding `path` ("." for a bare name), for sync_dir.
std::string dir_of(const std::string& path);

}  // namespace zv
