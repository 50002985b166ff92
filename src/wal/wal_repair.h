// Finding where the valid records of a log file end, and copying a damaged
// tail aside before the file is cut back to that end. Used by WalWriter::open
// under the caller's shard lock; each call works on handles of its own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "src/wal/wal_format.h"

namespace zv::wal {

struct ValidEnd {
  uint64_t end = kHeaderSize;  // just after the last frame that fills a slot
  uint64_t records = 0;        // slots before it: valid records and damaged frames
  uint64_t record_end = kHeaderSize;  // just after the last valid record
};

// Scans the frames after the header as the reader does (FrameScanner), so
// that a writer reopened on the file counts the slots recovery counts. Only
// the end of the file or a torn last frame ends the scan; any other read
// failure is returned, so a transient error can never make valid records
// look like a torn tail.
IoResult<ValidEnd> find_valid_end(FileSystem& fs, const std::string& path,
                                  uint64_t file_size, size_t trailer,
                                  PayloadValidator validator);

// "<path>.corrupt", or the first free "<path>.corrupt.N" (N = 1..999); the
// plain name again when all are taken.
std::string quarantine_path(FileSystem& fs, const std::string& path);

// Copies bytes [valid_end, file_size) into a quarantine file. Failures are
// only reported as warning events. Returns the quarantine path when copied.
std::string quarantine_corrupt_tail(FileSystem& fs, const std::string& path,
                                    uint64_t valid_end, uint64_t file_size);

}  // namespace zv::wal
