// Writes separated values into a run of blob files in a tree's "blobs"
// folder, rotating to a new file (id from the tree's blob-file id counter)
// after the write that reaches the target size. Used by flushes, compaction
// and ingestion; owned by the one task that writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tervik/blob/blob_file.h"
#include "tervik/blob/blob_file_writer.h"
#include "tervik/config/descriptor_cache.h"
#include "tervik/core/blob_indirection.h"
#include "tervik/core/folder_sync.h"
#include "tervik/core/seqno.h"

namespace tervik {

inline constexpr const char* kBlobMultiWriterLogTarget = "tervik::vlog::blob_file::multi_writer";

class BlobFileMultiWriter {
 public:
  static constexpr uint64_t kDefaultTargetSize = 64ull * 1024 * 1024;

  // Takes an id and creates its file in `folder` at once.
  static TervikResult<BlobFileMultiWriter> create(std::string folder, SeqNoCounter ids,
                                                  uint64_t tree_id,
                                                  std::shared_ptr<FileDescriptorCache> cache);

  // Settings apply to the current file and every later one.
  void set_target_size(uint64_t bytes) { target_size_ = bytes; }
  void set_compression(CompressionType c);
  void set_precompressed(bool on);
  // Replaces the folder sync that `finish` runs (tests record it).
  void set_folder_sync(FolderSync sync) { sync_folder_ = std::move(sync); }

  // Appends one value; returns its handle (file id, offset, stored size).
  // Rotates after a write that brings the file to the target size or beyond.
  TervikResult<ValueHandle> write(std::string_view key, SeqNo seqno, std::string_view value,
                                  uint32_t value_length);
  TervikResult<ValueHandle> write(std::string_view key, SeqNo seqno, std::string_view value);

  // Starts the next file, then finishes the current one (an empty one is
  // deleted). When the new file cannot be created the current one stays.
  TervikStatus rotate();

  // Finishes the current file, syncs the folder so that the finished files
  // survive a power loss, and returns every non-empty file in creation order.
  TervikResult<std::vector<std::shared_ptr<BlobFile>>> finish() &&;

  uint64_t current_id() const { return active_->id(); }
  uint64_t current_bytes_written() const { return active_->bytes_written(); }

 private:
  BlobFileMultiWriter(std::string folder, SeqNoCounter ids, uint64_t tree_id,
                      std::shared_ptr<FileDescriptorCache> cache)
      : folder_(std::move(folder)), ids_(std::move(ids)), tree_id_(tree_id),
        cache_(std::move(cache)) {}
  TervikResult<std::unique_ptr<BlobFileWriter>> open_next();

  std::unique_ptr<BlobFileWriter> active_;
  std::string folder_;
  std::vector<std::shared_ptr<BlobFile>> finished_;
  SeqNoCounter ids_;
  uint64_t target_size_ = kDefaultTargetSize;
  uint64_t tree_id_;
  std::shared_ptr<FileDescriptorCache> cache_;
  bool precompressed_ = false;
  CompressionType compression_ = CompressionType::kNone;
  FolderSync sync_folder_ = default_folder_sync();
};

// The path of blob file `id` in `folder`: the id in decimal.
std::string blob_file_path(const std::string& folder, uint64_t id);

}  // namespace tervik
