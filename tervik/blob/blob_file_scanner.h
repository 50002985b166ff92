// Reads every entry of one blob file's "data" section in file order,
// verifying each entry's checksum, until the "META" marker. Relocating
// compaction merges one per blob file. Owned and stepped by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tervik/blob/blob_file.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/error.h"
#include "tervik/core/seqno.h"
#include "tervik/core/slice.h"

namespace tervik {

inline constexpr const char* kBlobScannerLogTarget = "tervik::vlog::blob_file::scanner";

struct BlobScanEntry {
  UserKey key;
  SeqNo seqno = 0;
  Slice value;                      // stored bytes, not decompressed
  uint32_t uncompressed_length = 0; // the header's value length
  uint64_t offset = 0;              // of the entry's "BLOB" marker
};

class BlobFileScanner {
 public:
  static constexpr size_t kReadBufferSize = 32000;

  static TervikResult<BlobFileScanner> open(const std::string& path, uint64_t blob_file_id);
  // One scanner per blob file, in list order; the first open failure.
  static TervikResult<std::vector<BlobFileScanner>> open_all(
      const std::vector<std::shared_ptr<BlobFile>>& files);

  BlobFileScanner(BlobFileScanner&&) = default;
  BlobFileScanner& operator=(BlobFileScanner&&) = default;

  // The next entry, none after "META", or an error: Io for a short file (also
  // when a stored key or value length exceeds the bytes left, checked before
  // reading), InvalidHeader("Blob") for a wrong marker, ChecksumMismatch.
  TervikResult<std::optional<BlobScanEntry>> next();

  uint64_t blob_file_id() const { return blob_file_id_; }

 private:
  BlobFileScanner(std::unique_ptr<zv::File> file, uint64_t length, uint64_t blob_file_id);
  // Reads exactly n bytes and advances the position past them.
  zv::IoStatus read_exact(void* dst, size_t n);
  // Reads n bytes into a new slice.
  TervikResult<Slice> read_slice(size_t n);

  // On the heap so that the reader's borrowed file stays put when the
  // scanner moves.
  std::unique_ptr<zv::File> file_;
  std::unique_ptr<BufferedReader> reader_;
  uint64_t file_length_;
  uint64_t blob_file_id_;
  uint64_t position_ = 0;  // bytes consumed: the offset of the next entry
  bool terminated_ = false;
};

}  // namespace tervik
