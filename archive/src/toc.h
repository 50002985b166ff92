// The table of contents of an archive: named sections with their offset and
// length, in the order they were closed, and its on-disk encoding. Written by
// ArchiveWriter, read by ArchiveReader; a Toc is immutable once read and may
// be shared between threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zv::archive {

inline constexpr std::string_view kTocMagic = "TOC!";
// magic + u32 count.
inline constexpr uint64_t kTocHeaderSize = 8;
// pos (u64) + len (u64) + name length (u16): the least an entry takes.
inline constexpr uint64_t kTocEntryFixedSize = 18;
inline constexpr uint64_t kMaxSectionNameLen = 65535;
inline constexpr uint64_t kMaxTocEntries = 0xFFFFFFFFull;

inline constexpr const char* kNameTooLongMessage =
    "section name should not be longer than 65535";
inline constexpr const char* kTooManyEntriesMessage =
    "table of contents should not have 4 billion or more entries";

struct TocEntry {
  std::string name;  // bytes, compared exactly
  uint64_t pos = 0;
  uint64_t len = 0;

  bool operator==(const TocEntry&) const = default;
  // TocEntry { name: [109, 101], pos: 0, len: 12 }
  std::string debug_string() const;
};

class Toc {
 public:
  Toc() = default;
  explicit Toc(std::vector<TocEntry> entries) : entries_(std::move(entries)) {}

  // The first entry whose name equals `name` byte for byte, or nullptr.
  const TocEntry* section(std::string_view name) const;

  const std::vector<TocEntry>& entries() const { return entries_; }
  size_t size() const { return entries_.size(); }

 private:
  std::vector<TocEntry> entries_;
};

// Panics unless a table of contents may hold `count` entries (below 2^32).
void check_toc_entry_count(uint64_t count);
// Panics unless `name` fits a u16 length.
void check_section_name(std::string_view name);

// The entries in the multi-line structural form used by trace logs.
std::string toc_debug_multiline(const std::vector<TocEntry>& entries);

// Appends the encoded table of contents ("TOC!", count, entries) to *dst,
// checking the count before any entry and each name before its length.
void encode_toc(const std::vector<TocEntry>& entries, std::string* dst);

}  // namespace zv::archive
