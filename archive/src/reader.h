// Reads an archive: ArchiveReader::open checks the trailer and the table of
// contents and returns the Toc; section_reader streams one section's bytes.
// Used by version-file and blob-file recovery. Each call opens its own file
// handle, so any number of threads may read one archive at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/src/archive_error.h"
#include "archive/src/toc.h"
#include "platform/file.h"

namespace zv::archive {

// Buffer sizes of the two reading paths.
inline constexpr size_t kTocReadBufferSize = 4096;
inline constexpr size_t kSectionReadBufferSize = 8192;

class ArchiveReader {
 public:
  // Checks, in order: the file holds a trailer (else Io), its magic
  // (InvalidHeader), version (InvalidVersion), checksum type
  // (InvalidChecksumType), the "TOC!" magic (InvalidVersion), then the
  // checksum of the whole table of contents (ChecksumMismatch). A count or
  // name that cannot fit in the file fails with Io before anything is
  // reserved for it.
  static ArchiveResult<Toc> open(const std::string& path);
};

// A buffered reader over exactly one section: it reports the end of data at
// the section's end, whatever follows in the file. Single-threaded.
class SectionReader {
 public:
  SectionReader(File file, uint64_t pos, uint64_t len);
  SectionReader(SectionReader&&) = default;
  SectionReader& operator=(SectionReader&&) = default;

  // Reads up to n bytes; 0 at the end of the section.
  IoResult<size_t> read(void* dst, size_t n);
  // Reads exactly n bytes or fails with kUnexpectedEof.
  IoStatus read_exact(void* dst, size_t n);
  // Appends the rest of the section to *dst.
  IoStatus read_to_end(std::string* dst);

 private:
  IoStatus fill();

  File file_;
  uint64_t next_file_offset_;  // where the next buffer fill reads
  uint64_t unread_in_file_;    // section bytes not yet in the buffer
  std::vector<char> buffer_;
  size_t buf_pos_ = 0;
  size_t buf_len_ = 0;
};

// Opens `path` and returns a reader over `entry`'s bytes.
IoResult<SectionReader> section_reader(const std::string& path, const TocEntry& entry);

}  // namespace zv::archive
