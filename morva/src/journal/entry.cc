#include "morva/src/journal/entry.h"

#include <lz4.h>

#include <cstring>

#include "platform/coding.h"
#include "platform/file.h"
#include "platform/log.h"
#include "tervik/block/block.h"
#include "tervik/core/tag_parse.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::journal::entry";

zv::IoError invalid_input(const std::string& what) {
  return zv::IoError(zv::IoErrorKind::kInvalidInput, what);
}

zv::IoError short_read() { return zv::IoError(zv::IoErrorKind::kUnexpectedEof, zv::kShortReadMessage); }

}  // namespace

MorvaStatus check_journal_item(size_t key_length, size_t value_length, bool compress) {
  if (key_length > kJournalMaxKeyLength) {
    return zv::make_unexpected(invalid_input("key of " + std::to_string(key_length) +
                                             " bytes exceeds the journal's limit of 65535"));
  }
  if (value_length > kJournalMaxValueLength) {
    return zv::make_unexpected(invalid_input("value of " + std::to_string(value_length) +
                                             " bytes exceeds the journal's limit of 4294967295"));
  }
  if (compress && value_length > static_cast<size_t>(LZ4_MAX_INPUT_SIZE)) {
    return zv::make_unexpected(invalid_input("value of " + std::to_string(value_length) +
                                             " bytes is too long to compress"));
  }
  return {};
}

MorvaStatus check_journal_batch_size(uint64_t entries) {
  if (entries > kJournalMaxBatchEntries) {
    return zv::make_unexpected(invalid_input("batch of " + std::to_string(entries) +
                                             " entries exceeds the journal's limit of 4294967295"));
  }
  return {};
}

void encode_journal_start(std::string* out, uint32_t item_count, uint64_t seqno) {
  zv::coding::put_u8(out, static_cast<uint8_t>(JournalMarkerTag::kStart));
  zv::coding::put_u32_le(out, item_count);
  zv::coding::put_u64_le(out, seqno);
}

MorvaStatus encode_journal_item(std::string* out, uint64_t keyspace_id, std::string_view key,
                                std::string_view value, tervik::ValueType value_type,
                                bool compress, std::string* lz4_scratch) {
  std::string_view stored = value;
  if (compress) {
    ZV_TRY(tervik::lz4_compress(value, lz4_scratch));
    stored = *lz4_scratch;
  }
  char header[kJournalItemHeaderSize];
  header[0] = static_cast<char>(JournalMarkerTag::kItem);
  header[1] = static_cast<char>(value_type);
  header[2] = static_cast<char>(compress ? tervik::CompressionType::kLz4 : tervik::CompressionType::kNone);
  const uint64_t ks = keyspace_id;
  const uint16_t key_len = static_cast<uint16_t>(key.size());
  const uint32_t value_len = static_cast<uint32_t>(value.size());
  const uint32_t stored_len = static_cast<uint32_t>(stored.size());
  // Little-endian fields written in place.
  for (int i = 0; i < 8; ++i) header[3 + i] = static_cast<char>(ks >> (8 * i));
  for (int i = 0; i < 2; ++i) header[11 + i] = static_cast<char>(key_len >> (8 * i));
  for (int i = 0; i < 4; ++i) header[13 + i] = static_cast<char>(value_len >> (8 * i));
  for (int i = 0; i < 4; ++i) header[17 + i] = static_cast<char>(stored_len >> (8 * i));
  out->append(header, sizeof(header));
  out->append(key);
  out->append(stored);
  return {};
}

void encode_journal_end(std::string* out, uint64_t checksum) {
  zv::coding::put_u8(out, static_cast<uint8_t>(JournalMarkerTag::kEnd));
  zv::coding::put_u64_le(out, checksum);
  out->append(kJournalTrailer, sizeof(kJournalTrailer));
}

void encode_journal_clear(std::string* out, uint64_t keyspace_id) {
  zv::coding::put_u8(out, static_cast<uint8_t>(JournalMarkerTag::kClear));
  zv::coding::put_u64_le(out, keyspace_id);
}

zv::IoStatus MemoryJournalSource::read_exact(void* buf, size_t n) {
  if (n > bytes_.size() - pos_) {
    pos_ = bytes_.size();
    return zv::make_unexpected(short_read());
  }
  if (n != 0) std::memcpy(buf, bytes_.data() + pos_, n);
  pos_ += n;
  return {};
}

namespace {

MorvaResult<JournalEntry> decode_item(JournalSource& src, zv::Xxh3Hasher64* hasher) {
  uint8_t header[kJournalItemHeaderSize];
  header[0] = static_cast<uint8_t>(JournalMarkerTag::kItem);
  ZV_TRY(src.read_exact(header + 1, 1));
  ZV_ASSIGN_OR_RETURN(tervik::ValueType value_type, tervik::parse_value_type(header[1]));
  ZV_TRY(src.read_exact(header + 2, 1));
  ZV_ASSIGN_OR_RETURN(tervik::CompressionType compression,
                      tervik::parse_compression_type(header[2]));
  ZV_TRY(src.read_exact(header + 3, kJournalItemHeaderSize - 3));
  JournalItem item;
  item.value_type = value_type;
  item.compression = compression;
  item.keyspace_id = zv::coding::get_u64_le(header + 3);
  const uint16_t key_len = zv::coding::get_u16_le(header + 11);
  const uint32_t value_len = zv::coding::get_u32_le(header + 13);
  const uint32_t stored_len = zv::coding::get_u32_le(header + 17);
  // A length beyond the end is a torn or damaged entry: fail before
  // allocating what the damaged header asks for.
  if (static_cast<uint64_t>(key_len) + stored_len > src.remaining()) {
    return zv::make_unexpected(MorvaError(short_read()));
  }
  item.key.resize(key_len);
  ZV_TRY(src.read_exact(item.key.data(), key_len));
  std::string stored(stored_len, '\0');
  ZV_TRY(src.read_exact(stored.data(), stored_len));
  if (hasher != nullptr) {
    hasher->update(header, sizeof(header));
    hasher->update(item.key);
    hasher->update(stored);
  }
  if (compression == tervik::CompressionType::kLz4) {
    auto value = tervik::lz4_decompress(stored, value_len);
    if (!value.ok()) {
      ZV_ERROR(kLogTarget, "LZ4 decompression failed: " + value.error().debug_string());
      return zv::make_unexpected(MorvaError::decompress(tervik::CompressionType::kLz4));
    }
    if (value->size() != value_len) {
      ZV_ERROR(kLogTarget, "Decompressed size does not match expected value size");
      return zv::make_unexpected(MorvaError::decompress(tervik::CompressionType::kLz4));
    }
    item.value.assign(value->view());
  } else {
    item.value = std::move(stored);
  }
  return JournalEntry(std::move(item));
}

}  // namespace

MorvaResult<JournalEntry> decode_journal_entry(JournalSource& src, zv::Xxh3Hasher64* hasher) {
  uint8_t tag = 0;
  ZV_TRY(src.read_exact(&tag, 1));
  switch (tag) {
    case static_cast<uint8_t>(JournalMarkerTag::kStart): {
      uint8_t b[12];
      ZV_TRY(src.read_exact(b, sizeof(b)));
      return JournalEntry(JournalStart{zv::coding::get_u32_le(b), zv::coding::get_u64_le(b + 4)});
    }
    case static_cast<uint8_t>(JournalMarkerTag::kItem):
      return decode_item(src, hasher);
    case static_cast<uint8_t>(JournalMarkerTag::kEnd): {
      uint8_t b[12];
      ZV_TRY(src.read_exact(b, sizeof(b)));
      if (std::memcmp(b + 8, kJournalTrailer, sizeof(kJournalTrailer)) != 0) {
        return zv::make_unexpected(MorvaError::invalid_trailer());
      }
      return JournalEntry(JournalEnd{zv::coding::get_u64_le(b)});
    }
    case static_cast<uint8_t>(JournalMarkerTag::kClear): {
      uint8_t b[kJournalClearSize];
      b[0] = tag;
      ZV_TRY(src.read_exact(b + 1, 8));
      if (hasher != nullptr) hasher->update(b, sizeof(b));
      return JournalEntry(JournalClear{zv::coding::get_u64_le(b + 1)});
    }
    default:
      return zv::make_unexpected(MorvaError::invalid_tag(kJournalMarkerTagName, tag));
  }
}

}  // namespace morva
