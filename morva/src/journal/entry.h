// The four journal entries (Start, Item, End, Clear), their byte layout, the
// compression rule for item values, and the encoder and decoder of single
// entries. Entries follow each other without gaps or length prefixes; a batch
// is Start, its Items and Clears, then End with an XXH3-64 checksum over the
// exact bytes of those Items and Clears. Pure functions and plain values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "morva/src/error.h"
#include "platform/checksum.h"
#include "tervik/core/compression_type.h"
#include "tervik/core/value_type.h"

namespace morva {

enum class JournalMarkerTag : uint8_t { kStart = 1, kItem = 2, kEnd = 3, kClear = 4 };

inline constexpr std::string_view kJournalMarkerTagName = "JournalMarkerTag";
inline constexpr size_t kJournalStartSize = 13;
inline constexpr size_t kJournalItemHeaderSize = 21;
inline constexpr size_t kJournalEndSize = 13;
inline constexpr size_t kJournalClearSize = 9;
// The End trailer: the same four bytes as the database's format marker.
inline constexpr char kJournalTrailer[4] = {'M', 'R', 'V', 3};

// Limits of the length fields.
inline constexpr uint64_t kJournalMaxKeyLength = 0xFFFF;
inline constexpr uint64_t kJournalMaxValueLength = 0xFFFF'FFFFull;
inline constexpr uint64_t kJournalMaxBatchEntries = 0xFFFF'FFFFull;

struct JournalStart {
  uint32_t item_count = 0;
  uint64_t seqno = 0;
};

struct JournalItem {
  uint64_t keyspace_id = 0;
  std::string key;
  std::string value;  // uncompressed
  tervik::ValueType value_type = tervik::ValueType::kValue;
  tervik::CompressionType compression = tervik::CompressionType::kNone;
};

struct JournalEnd {
  uint64_t checksum = 0;
};

struct JournalClear {
  uint64_t keyspace_id = 0;
};

using JournalEntry = std::variant<JournalStart, JournalItem, JournalEnd, JournalClear>;

// Whether an Item's value is stored LZ4-compressed: setting Lz4, a threshold
// above 0 and a value at least that long.
inline bool journal_compresses(tervik::CompressionType setting, uint64_t threshold,
                               size_t value_length) {
  return setting == tervik::CompressionType::kLz4 && threshold != 0 && value_length >= threshold;
}

// Refuses, as Io of kind invalid input, an item whose lengths the format
// cannot hold (the key above 65,535 bytes, the value above 4 GiB - 1, or a
// compressed value longer than the block codec accepts).
MorvaStatus check_journal_item(size_t key_length, size_t value_length, bool compress);
// The same for the number of entries of one batch.
MorvaStatus check_journal_batch_size(uint64_t entries);

// Encoders append to `out`. Lengths must have passed the checks above.
void encode_journal_start(std::string* out, uint32_t item_count, uint64_t seqno);
// `lz4_scratch` holds the compressed block between calls (reused).
MorvaStatus encode_journal_item(std::string* out, uint64_t keyspace_id, std::string_view key,
                                std::string_view value, tervik::ValueType value_type,
                                bool compress, std::string* lz4_scratch);
void encode_journal_end(std::string* out, uint64_t checksum);
void encode_journal_clear(std::string* out, uint64_t keyspace_id);

// A byte source positioned at an entry boundary.
class JournalSource {
 public:
  virtual ~JournalSource() = default;
  // Fills the whole buffer; an early end is Io, unexpected end of file.
  virtual zv::IoStatus read_exact(void* buf, size_t n) = 0;
  // Bytes left before the end of the source.
  virtual uint64_t remaining() const = 0;
};

// Decodes exactly one entry. When `hasher` is given, the exact bytes of an
// Item or Clear as read (header, key and stored value) are fed to it. Stored
// lengths beyond the bytes left fail as a short read before any allocation.
MorvaResult<JournalEntry> decode_journal_entry(JournalSource& src, zv::Xxh3Hasher64* hasher);

// A source over bytes in memory.
class MemoryJournalSource final : public JournalSource {
 public:
  explicit MemoryJournalSource(std::string_view bytes) : bytes_(bytes) {}
  zv::IoStatus read_exact(void* buf, size_t n) override;
  uint64_t remaining() const override { return bytes_.size() - pos_; }
  size_t position() const { return pos_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

}  // namespace morva
