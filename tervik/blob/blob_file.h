// One finished blob file of a tree: its id, path, meta, checksum, length and
// how it is read (the tree's descriptor cache, or a read handle of its own).
// Shared by versions, readers and compactions; a file marked deleted is
// removed (with its descriptor-cache entry) when the last holder lets go.
// Immutable but for the deleted flag; safe to share between threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/file.h"
#include "tervik/blob/blob_file_meta.h"
#include "tervik/config/descriptor_cache.h"
#include "tervik/core/checksum.h"

namespace tervik {

class BlobFile {
 public:
  struct Parts {
    uint64_t id = 0;
    uint64_t tree_id = 0;
    std::string path;
    BlobFileMeta meta;
    Checksum checksum;         // XXH3-128 of the whole file
    uint64_t file_length = 0;  // bytes in the file, bounding every read
    // Exactly one of the two: the tree's cache (the handle lives under
    // (tree id, id, blob)) or a handle owned by the record.
    std::shared_ptr<FileDescriptorCache> descriptor_cache;
    std::shared_ptr<const zv::File> handle;
  };

  explicit BlobFile(Parts parts) : parts_(std::move(parts)) {}
  ~BlobFile();
  BlobFile(const BlobFile&) = delete;
  BlobFile& operator=(const BlobFile&) = delete;

  uint64_t id() const { return parts_.id; }
  uint64_t tree_id() const { return parts_.tree_id; }
  const std::string& path() const { return parts_.path; }
  const BlobFileMeta& meta() const { return parts_.meta; }
  const Checksum& checksum() const { return parts_.checksum; }
  uint64_t file_length() const { return parts_.file_length; }
  const std::shared_ptr<FileDescriptorCache>& descriptor_cache() const {
    return parts_.descriptor_cache;
  }
  // The record's own handle; null when it reads through the descriptor cache.
  const std::shared_ptr<const zv::File>& handle() const { return parts_.handle; }

  // Set once by compaction; the file goes when the last holder lets go.
  void mark_deleted() { deleted_.store(true, std::memory_order_release); }
  bool is_deleted() const { return deleted_.load(std::memory_order_acquire); }

 private:
  Parts parts_;
  std::atomic<bool> deleted_{false};
};

// The blob files of a version, by id.
using BlobFileMap = std::map<uint64_t, std::shared_ptr<BlobFile>>;

}  // namespace tervik
