// WalWriter owns one open log file and appends framed records to it through a
// user-space buffer, applying the sync policy after each append. An append
// either succeeds whole or leaves the file, the counters and the hash chain
// as they were before it. No lock of its own: the sharded log keeps each
// writer behind its shard's mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "src/foundation/error.h"
#include "platform/file_system.h"
#include "src/wal/wal_format.h"

namespace zv::wal {

enum class SyncMode : uint8_t {
  kEveryAppend = 0,    // force to disk after every append
  kEveryNth = 1,       // after every sync_every-th append (unset counts as 1)
  kNever = 2,
};

struct WalWriterOptions {
  uint8_t sync_mode = static_cast<uint8_t>(SyncMode::kEveryNth);
  uint64_t buffer_size = kDefaultBufferSize;
  std::optional<uint64_t> sync_every;
  // The file is archived and restarted once it reaches this size, by
  // rotate_if_needed (called after each append only with auto_rotate).
  uint64_t max_file_size = kMaxFileSize;
  bool auto_rotate = true;
  PayloadValidator validator = nullptr;
  FileSystem* fs = nullptr;  // null: the operating system's files
};

class WalWriter {
 public:
  // Opens or creates the file, validates its header, and cuts a damaged tail
  // back to the last valid record (after copying it aside). A 0-byte file
  // gets a fresh header.
  static ZolvaResult<std::unique_ptr<WalWriter>> open(const std::string& path,
                                                      const WalWriterOptions& options);
  ~WalWriter();
  WalWriter(const WalWriter&) = delete;
  WalWriter& operator=(const WalWriter&) = delete;

  // Appends one record's payload. Refuses an empty payload or one larger than
  // kMaxPayloadSize with Validation before writing anything.
  ZolvaStatus append(std::string_view payload);
  // Appends several with one write and one sync decision; all or nothing.
  ZolvaStatus append_batch(std::span<const std::string_view> payloads);
  // Writes the buffer out and forces the file to disk.
  ZolvaStatus sync();
  // Archives the file as "<path>.<now_ms>" and continues in a fresh one when
  // it has reached max_file_size. Returns whether it rotated.
  ZolvaResult<bool> rotate_if_needed();
  // Archives and restarts the file unconditionally.
  ZolvaStatus rotate();

  // The writer's state between appends, to undo later appends with
  // roll_back_to (used when a batch spanning several files fails part-way).
  struct Mark {
    uint64_t file_size;
    uint64_t record_count;
    uint64_t since_sync;
    ChainValue chain;
  };
  Mark mark() const { return {file_size_, record_count_, since_sync_, chain_}; }
  // Removes everything appended after the mark. Io error (and the writer
  // refuses further appends) when the file cannot be cut back.
  ZolvaStatus roll_back_to(const Mark& mark);

  uint64_t record_count() const { return record_count_; }
  uint64_t file_size() const { return file_size_; }
  uint64_t since_sync() const { return since_sync_; }
  uint16_t format_version() const { return format_version_; }
  const ChainValue& chain() const { return chain_; }
  const std::string& path() const { return path_; }
  size_t buffer_capacity() const { return capacity_; }

 private:
  WalWriter(std::string path, const WalWriterOptions& options, FileSystem* fs);
  ZolvaStatus check_usable() const;
  ZolvaStatus write_frames(const std::string& frames, uint64_t records,
                           const ChainValue& new_chain);
  IoStatus stage(const std::string& frames);
  IoStatus flush_buffer();
  IoStatus sync_now();
  bool sync_due(uint64_t since_sync) const;
  void roll_back(uint64_t record_start);
  ZolvaStatus start_fresh_file(std::unique_ptr<FsFile> file);

  std::string path_;
  WalWriterOptions options_;
  FileSystem* fs_;
  std::unique_ptr<FsFile> file_;
  size_t capacity_;
  std::string buffer_;      // frames not yet written, starting at flushed_
  std::string scratch_;     // frames of the append in progress
  uint64_t flushed_ = 0;    // bytes of the file known written
  uint64_t file_size_ = 0;  // flushed_ + buffer_.size(): end of the last record
  uint64_t record_count_ = 0;
  uint64_t since_sync_ = 0;
  ChainValue chain_{};
  uint16_t format_version_ = kCurrentFormatVersion;
  Sha256Hasher hasher_;
  // Set when a sync failed or a failed append could not be cut back: the
  // file's content is unknown and only a reopen may continue.
  bool broken_ = false;
};

}  // namespace zv::wal
