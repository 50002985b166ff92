// JournalWriter: appends batches to the active journal file through an
// 8,192-byte buffer (a larger batch goes out whole) and persists them at three levels (hand to the operating
// system, data to disk, data and metadata to disk). A new file is created
// preallocated to 64 MiB of zeros and its folder entry is made durable before
// the writer is handed out. Not thread-safe: the Journal's writer lock guards it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "morva/src/error.h"
#include "morva/src/journal/entry.h"
#include "platform/file_system.h"
#include "platform/checksum.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/value_type.h"

namespace morva {

inline constexpr uint64_t kJournalPreallocatedSize = 67'108'864;
// The worker loop rotates once the write position passes this (decimal) size.
inline constexpr uint64_t kJournalRotationThreshold = 64'000'000;
inline constexpr size_t kJournalWriteBufferSize = 8192;
inline constexpr std::string_view kJournalExtension = ".jnl";
// Values up to this length fit the format compressed or not (the block
// codec's input limit).
inline constexpr size_t kJournalMaxPlainValueCheck = 0x7E00'0000;

enum class PersistMode : uint8_t {
  kBuffer = 0,    // hand the buffered bytes to the operating system
  kSyncData = 1,  // then flush the file's data to disk
  kSyncAll = 2,   // then flush data and metadata to disk
};

// "Buffer", "SyncData", "SyncAll".
std::string_view persist_mode_name(PersistMode m);

// One item of a batch to append.
struct JournalWriteItem {
  uint64_t keyspace_id = 0;
  std::string_view key;
  std::string_view value;
  tervik::ValueType value_type = tervik::ValueType::kValue;
};

// The file a rotation sealed: its path and its length on disk.
struct RotatedJournal {
  std::string path;
  uint64_t size = 0;
};

// The number a journal file name carries ("41.jnl" and "+41.jnl" are 41:
// decimal digits with an optional "+", no overflow), or
// JournalRecovery(InvalidFileName).
MorvaResult<uint64_t> journal_file_number(std::string_view file_name);
// "41.jnl".
std::string journal_file_name(uint64_t number);

class JournalWriter {
 public:
  // Creates the file (failing when it exists), preallocates, flushes it and
  // syncs its folder. Compression starts off until set_compression.
  // `preallocate` is the file's length at creation (lowered only by tests);
  // the files a rotation creates get the same.
  static MorvaResult<JournalWriter> create(zv::FileSystem& fs, std::string path,
                                           uint64_t preallocate = kJournalPreallocatedSize);
  // Continues an existing journal file: every write goes after its last
  // byte. A file that no longer exists is created like a new journal.
  // Reading the file back may shorten it afterwards (a torn tail cut), so
  // the owner calls move_to_end() before the first write.
  static MorvaResult<JournalWriter> open_existing(zv::FileSystem& fs, std::string path,
                                                  uint64_t preallocate = kJournalPreallocatedSize);

  JournalWriter(JournalWriter&&) noexcept;
  JournalWriter& operator=(JournalWriter&&) noexcept;
  // Writes out the buffer, ignoring errors (persist first to know).
  ~JournalWriter();

  void set_compression(tervik::CompressionType setting, uint64_t threshold) {
    compression_ = setting;
    threshold_ = threshold;
  }
  tervik::CompressionType compression() const { return compression_; }
  uint64_t compression_threshold() const { return threshold_; }

  // Writes a one-item batch; returns the bytes written. Lengths the format
  // cannot hold are refused (Io, invalid input) before any byte is written.
  MorvaResult<size_t> write_single_item(uint64_t keyspace_id, std::string_view key,
                                        std::string_view value, tervik::ValueType value_type,
                                        uint64_t seqno);
  // Writes a batch of any number of items under one sequence number.
  MorvaResult<size_t> write_batch(std::span<const JournalWriteItem> items, uint64_t seqno);

  MorvaStatus persist(PersistMode mode);
  // Hands the buffered bytes to the operating system (no dirty change).
  MorvaStatus flush_buffer();
  // Writes on at the file's current length; nothing may be buffered.
  MorvaStatus move_to_end();

  // Seals this file and continues in the next one (number + 1), created like a
  // new journal, with the same compression settings. Returns the sealed file.
  MorvaResult<RotatedJournal> rotate();

  // Position of the next byte written.
  uint64_t position() const { return buf_offset_ + buf_.size(); }
  const std::string& path() const { return path_; }
  bool is_dirty() const { return dirty_; }

 private:
  JournalWriter(zv::FileSystem* fs, std::string path, std::unique_ptr<zv::FsFile> file);

  zv::FileSystem* fs_;
  std::string path_;
  std::unique_ptr<zv::FsFile> file_;
  std::string buf_;
  uint64_t buf_offset_ = 0;  // file offset of buf_[0]
  std::string lz4_scratch_;
  uint64_t threshold_ = 0;
  tervik::CompressionType compression_ = tervik::CompressionType::kNone;
  bool dirty_ = false;
  uint64_t preallocate_ = kJournalPreallocatedSize;
};

}  // namespace morva
