// Writes one blob file: entries into its "data" section through an 8 KiB
// buffered, checksummed writer, then the "meta" section, the container's
// table of contents and trailer, and a sync. The file is created new and
// fails if the name exists. Owned by the one task that writes it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "archive/src/writer.h"
#include "tervik/blob/blob_file.h"
#include "tervik/core/archive_sink.h"
#include "tervik/core/byte_stream.h"
#include "tervik/core/checksummed_io.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/error.h"
#include "tervik/core/seqno.h"

namespace tervik {

inline constexpr size_t kBlobWriteBufferSize = 8192;
inline constexpr std::string_view kBlobDataSection = "data";
inline constexpr std::string_view kBlobMetaSection = "meta";
inline constexpr const char* kBlobWriterLogTarget = "tervik::vlog::blob_file::writer";
inline constexpr const char* kFatalEmptyBlobKey = "assertion failed: !key.is_empty()";
inline constexpr const char* kFatalBlobKeyTooLong =
    "assertion failed: u16::try_from(key.len()).is_ok()";
inline constexpr const char* kFatalBlobValueTooLong =
    "assertion failed: u32::try_from(value.len()).is_ok()";

class BlobFileWriter {
 public:
  // Creates the file exclusively with section "data" open; Io when the file
  // exists or cannot be created.
  static TervikResult<std::unique_ptr<BlobFileWriter>> create(const std::string& path,
                                                              uint64_t blob_file_id,
                                                              uint64_t tree_id);
  BlobFileWriter(const BlobFileWriter&) = delete;
  BlobFileWriter& operator=(const BlobFileWriter&) = delete;

  void set_compression(CompressionType c) { compression_ = c; }
  // The values handed in are already in stored form (relocation).
  void set_precompressed(bool on) { precompressed_ = on; }

  // Appends one entry and returns its stored length. `value_length` is what
  // the header records as the uncompressed length. An empty key, a key over
  // 65,535 bytes or a value of 4 GiB or more is a fatal error. After an Io
  // error the entry may be partly written and the writer is not used again.
  TervikResult<uint32_t> write(std::string_view key, SeqNo seqno, std::string_view value,
                               uint32_t value_length);
  TervikResult<uint32_t> write(std::string_view key, SeqNo seqno, std::string_view value);

  // Completes and syncs the file and returns its record (its read handle
  // cached in `cache` when given); with no entry the file is deleted and
  // none is returned. The writer is spent afterwards.
  TervikResult<std::optional<std::shared_ptr<BlobFile>>> finish(
      std::shared_ptr<FileDescriptorCache> cache);

  uint64_t id() const { return blob_file_id_; }
  const std::string& path() const { return path_; }
  // Offset of the next entry: the size of the entries written so far.
  uint64_t bytes_written() const { return bytes_written_; }
  uint64_t item_count() const { return item_count_; }

 private:
  BlobFileWriter(zv::File file, std::string path, uint64_t blob_file_id, uint64_t tree_id);

  BufferedFileWriter file_;
  ChecksummedWriter checksummed_{&file_};
  ChecksummedArchiveSink sink_{checksummed_};
  zv::archive::ArchiveWriter archive_{sink_};

  std::string path_;
  uint64_t tree_id_;
  uint64_t blob_file_id_;
  uint64_t bytes_written_ = 0;
  uint64_t item_count_ = 0;
  uint64_t on_disk_bytes_ = 0;
  uint64_t uncompressed_bytes_ = 0;
  std::optional<std::string> first_key_;
  std::string last_key_;
  bool precompressed_ = false;
  CompressionType compression_ = CompressionType::kNone;
  bool finished_ = false;
};

}  // namespace tervik
