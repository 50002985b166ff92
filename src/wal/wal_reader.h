// Reads the records of one log file back in order, skipping damaged bytes by
// scan-forward: a bad frame never ends the log, only the end of the file
// does. Used by recovery on the opening thread before any writer exists; one
// reader per thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "src/foundation/error.h"
#include "platform/file_system.h"
#include "src/wal/wal_format.h"
#include "src/wal/wal_input.h"

namespace zv::wal {

class WalReader {
 public:
  // Over a file whose header was already validated; reading starts just
  // after the header.
  WalReader(std::unique_ptr<FsFile> file, size_t trailer, size_t buffer_size,
            PayloadValidator validator);

  // Opens a file and checks its header (errors as WalHeader::validate, or Io).
  static ZolvaResult<WalReader> open(FileSystem& fs, const std::string& path,
                                     size_t buffer_size, PayloadValidator validator);

  // The next valid record's payload into *payload: true, or false at the end
  // of the log. Only the end of the file ends or skips a read; any other I/O
  // failure is an Io error and the position stays where it was.
  ZolvaResult<bool> next(std::string* payload);

  uint64_t records_read() const { return records_read_; }
  // File offset of the next frame to read.
  uint64_t position() const { return pos_; }

 private:
  // Finds the next valid frame after pos_; false when none is left.
  ZolvaResult<bool> scan_forward(uint64_t file_size);

  std::unique_ptr<FsFile> file_;
  WalInput in_;
  size_t trailer_;
  PayloadValidator validator_;
  uint64_t pos_ = kHeaderSize;
  uint64_t records_read_ = 0;
};

}  // namespace zv::wal
