// The file operations of the journal, behind a narrow interface so that tests
// can fail (and count) a chosen write, flush, read, length change, create,
// delete or folder sync. The operating-system implementation forwards each
// call to the platform's File; one indirect call per operation that already
// costs a system call. A JournalFile belongs to one thread at a time;
// JournalFs implementations are stateless or internally synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/io_error.h"

namespace morva {

class JournalFile {
 public:
  virtual ~JournalFile() = default;
  // Reads up to n bytes at offset; fewer only at the end of the file.
  virtual zv::IoResult<size_t> read_at(void* buf, size_t n, uint64_t offset) = 0;
  virtual zv::IoStatus write_at(const void* buf, size_t n, uint64_t offset) = 0;
  virtual zv::IoStatus set_len(uint64_t len) = 0;
  // Data and metadata to disk.
  virtual zv::IoStatus sync_all() = 0;
  // Data (and the metadata needed to read it back) to disk.
  virtual zv::IoStatus sync_data() = 0;
  virtual zv::IoResult<uint64_t> size() = 0;
};

class JournalFs {
 public:
  virtual ~JournalFs() = default;
  // Creates a file for reading and writing; fails when the name exists.
  virtual zv::IoResult<std::unique_ptr<JournalFile>> create_new(const std::string& path) = 0;
  // Opens an existing file for reading and writing.
  virtual zv::IoResult<std::unique_ptr<JournalFile>> open_existing(const std::string& path) = 0;
  virtual zv::IoStatus remove_file(const std::string& path) = 0;
  // Makes the names of the folder's entries durable.
  virtual zv::IoStatus sync_dir(const std::string& path) = 0;

  // The operating system's files.
  static JournalFs& os();
};

}  // namespace morva
