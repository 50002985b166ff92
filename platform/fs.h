// File-system operations on paths: directories, rename with replace, removal,
// directory sync, whole-file reads, and unique temporary files moved into
// place. Thread-safe (each call is one or a few system calls).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/io_error.h"

namespace zv::fs {

bool exists(const std::string& path);
bool is_dir(const std::string& path);
bool is_file(const std::string& path);

IoStatus create_dir(const std::string& path);      // fails when it exists
IoStatus create_dir_all(const std::string& path);  // like mkdir -p
IoStatus remove_file(const std::string& path);
IoStatus remove_dir(const std::string& path);      // empty directory only
IoStatus remove_dir_all(const std::string& path);
// Renames, replacing an existing target atomically.
IoStatus rename(const std::string& from, const std::string& to);
// Forces a directory's entries (created, renamed, removed files) to disk.
IoStatus sync_dir(const std::string& path);
// Names of the entries of a directory (no "." or ".."), sorted.
IoResult<std::vector<std::string>> list_dir(const std::string& path);
IoResult<uint64_t> file_size(const std::string& path);
IoResult<std::string> read_file(const std::string& path);
// Writes a whole file (create or truncate), without syncing.
IoStatus write_file(const std::string& path, std::string_view bytes);

std::string join(const std::string& dir, const std::string& name);
std::string parent(const std::string& path);
std::string file_name(const std::string& path);
// Makes a relative path absolute against the current directory.
std::string absolute(const std::string& path);

// A uniquely named file created beside its final place. persist() syncs it,
// renames it over the target and syncs the directory; a TempFile that is
// destroyed without persist() removes its file.
class TempFile {
 public:
  // Creates "<dir>/<prefix><random>.tmp" exclusively.
  static IoResult<TempFile> create_in(const std::string& dir,
                                      const std::string& prefix);
  TempFile(TempFile&& other) noexcept
      : file_(std::move(other.file_)), path_(std::move(other.path_)), done_(other.done_) {
    other.done_ = true;
  }
  TempFile& operator=(TempFile&&) noexcept;
  ~TempFile();

  File& file() { return file_; }
  const std::string& path() const { return path_; }
  IoStatus persist(const std::string& target);

 private:
  TempFile(File f, std::string path) : file_(std::move(f)), path_(std::move(path)) {}
  File file_;
  std::string path_;
  bool done_ = false;
};

// Replaces `path` by `bytes` atomically: a temporary file beside it is
// written, synced, renamed over it, and the directory synced.
IoStatus write_file_atomic(const std::string& path, std::string_view bytes);

}  // namespace zv::fs
