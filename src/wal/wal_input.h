// Positioned reads of a log file through a read-ahead window, shared by the
// record reader and the valid-end scan: scan-forward tests a candidate at
// every byte offset, and the window turns those tests into memory reads.
// Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "src/wal/wal_format.h"

namespace zv::wal {

class WalInput {
 public:
  WalInput(FsFile* file, size_t window) : file_(file), window_(window < 16 ? 16 : window) {}

  // Reads exactly n bytes at offset into dst. False when the file ends first;
  // an error for any other failure.
  IoResult<bool> read(uint64_t offset, size_t n, void* dst);
  // Drops the window (the file may have changed).
  void discard() { buf_.clear(); }

 private:
  FsFile* file_;
  size_t window_;
  std::string buf_;
  uint64_t buf_start_ = 0;
};

// Length of the valid record at offset, 0 when none is there. A record is
// valid when its frame fits in `file_size`, its length is 1..kMaxPayloadSize,
// its CRC matches and the validator accepts its payload. An I/O failure other
// than the end of the file is an error. On success *payload holds the payload.
IoResult<uint32_t> valid_record_at(WalInput& in, uint64_t offset, uint64_t file_size,
                                   size_t trailer, PayloadValidator validator,
                                   std::string* payload);

}  // namespace zv::wal
