// Reading a journal file back: JournalReader decodes its entries through an
// 8,192-byte buffer and cuts the file; JournalBatchReader groups entries into
// whole batches, verifies each batch's checksum over the bytes as read, and
// cuts a torn tail after the last complete batch, so that a batch is replayed
// whole or not at all. A reader belongs to one thread and is used once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "morva/src/error.h"
#include "morva/src/journal/entry.h"
#include "platform/file_system.h"
#include "platform/checksum.h"

namespace morva {

inline constexpr size_t kJournalReadBufferSize = 8192;

// What reading one entry gives: an entry, or the end of the readable journal
// (a clean end, a torn or damaged entry) at the last valid position.
struct JournalRead {
  bool torn = false;
  JournalEntry entry;
};

class JournalReader {
 public:
  // Opens an existing journal file for reading and writing.
  static MorvaResult<JournalReader> open(zv::FileSystem& fs, const std::string& path);

  JournalReader(JournalReader&&) noexcept;
  JournalReader& operator=(JournalReader&&) noexcept;
  ~JournalReader();

  // The next entry, or torn at the end of what decodes. An unexpected end of
  // file and any decode failure are torn; any other I/O error is returned.
  MorvaResult<JournalRead> next(zv::Xxh3Hasher64* hasher);

  // The stream position just after the last entry that decoded.
  uint64_t last_valid_position() const { return last_valid_; }
  const std::string& path() const { return path_; }
  // Current length of the file.
  uint64_t file_length() const;

  // Shortens the file to `position` and flushes it to disk; nothing when the
  // file is not longer. Reading ends afterwards.
  MorvaStatus cut(uint64_t position);

 private:
  class Source;
  JournalReader(std::string path, std::unique_ptr<Source> src);

  std::string path_;
  std::unique_ptr<Source> src_;
  uint64_t last_valid_ = 0;
};

struct JournalBatchItem {
  uint64_t keyspace_id = 0;
  std::string key;
  std::string value;
  tervik::ValueType value_type = tervik::ValueType::kValue;
};

struct JournalBatch {
  std::vector<JournalBatchItem> items;    // in journal order
  std::vector<uint64_t> cleared_keyspaces;  // in journal order
  uint64_t seqno = 0;
};

class JournalBatchReader {
 public:
  // kSealed: a structurally bad batch (too many or too few items, checksum
  // mismatch) is an error. kActive (the active journal, whose unsynced tail a
  // power loss may leave with holes): such a batch is a torn tail unless a
  // later batch verifies.
  enum class Mode { kSealed, kActive };

  JournalBatchReader(JournalReader reader, Mode mode);

  // The next complete batch, or none at the end of the journal (after cutting
  // what follows the last complete batch), or an error (file unchanged).
  MorvaResult<std::optional<JournalBatch>> next();

  JournalReader& reader() { return reader_; }

 private:
  // Ends reading after cutting the file at the end of the last complete batch.
  MorvaResult<std::optional<JournalBatch>> cut_tail();
  // A structurally bad batch: returned in sealed mode, looked past in active.
  MorvaResult<std::optional<JournalBatch>> bad_batch(JournalRecoveryKind kind, bool* go_on);

  JournalReader reader_;
  Mode mode_;
  zv::Xxh3Hasher64 hasher_;
  uint64_t seqno_ = 0;
  uint64_t last_complete_end_ = 0;
  JournalBatch batch_;
  uint32_t remaining_ = 0;
  bool in_batch_ = false;
  bool done_ = false;
  // Active mode, after a bad batch: the error it is reported as when a later
  // batch verifies; entries are read on without keeping them.
  std::optional<MorvaError> pending_;
  // Inside a bad batch: skip to its End.
  bool skipping_ = false;
};

}  // namespace morva
