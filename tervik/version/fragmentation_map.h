// Blob garbage statistics: per blob file, how many of its values and how many
// of its bytes no live entry references any more. A version holds the
// accumulated map of its tree; a flush or compaction fills a map of its own
// findings (a diff) that the next version merges in. Also the "blob_gc_stats"
// section codec of the version file. A map is a plain value; versions share
// theirs immutably.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tervik/blob/blob_file.h"
#include "tervik/core/blob_indirection.h"
#include "tervik/core/error.h"

namespace tervik {

inline constexpr size_t kGcStatsEntrySize = 28;  // id u64, len u32, bytes u64, on-disk u64

struct FragmentationEntry {
  uint64_t len = 0;            // stale values (persisted as its low 32 bits)
  uint64_t bytes = 0;          // their uncompressed size
  uint64_t on_disk_bytes = 0;  // their stored size
  bool operator==(const FragmentationEntry&) const = default;
};

class FragmentationMap {
 public:
  using Entries = std::unordered_map<uint64_t, FragmentationEntry>;

  FragmentationMap() = default;
  explicit FragmentationMap(Entries entries) : entries_(std::move(entries)) {}

  // Adds the three amounts to the entry of `blob_file_id` (wrapping 64-bit
  // additions), creating it when missing.
  void add(uint64_t blob_file_id, const FragmentationEntry& amounts);
  // The dropped-item hook of a compaction: one stale value of the blob file
  // that the indirection points into.
  void on_dropped(const BlobIndirection& indirection);
  // Consumes this map (a diff) and adds every entry into `target`.
  void merge_into(FragmentationMap& target) &&;
  // Keeps only the entries of blob files present in `blob_files`.
  void prune(const BlobFileMap& blob_files);

  const Entries& entries() const { return entries_; }
  const FragmentationEntry* find(uint64_t blob_file_id) const;
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  bool operator==(const FragmentationMap&) const = default;

  // "FragmentationMap({1: FragmentationEntry { len: 2, bytes: 3, on_disk_bytes: 4 }})",
  // entries by ascending blob file id.
  std::string debug_string() const;

 private:
  Entries entries_;
};

// The "blob_gc_stats" section: u32 count, then per entry (map order) u64 blob
// file id, u32 len (its low 32 bits), u64 bytes, u64 on-disk bytes. A map of
// 2^32 or more entries cannot be stored: Io (invalid input), nothing encoded.
TervikResult<std::string> encode_blob_gc_stats(const FragmentationMap& map);
// Reads the section back. The count is checked against the bytes present
// before anything is reserved; a short section is Io (unexpected end of file).
TervikResult<FragmentationMap> decode_blob_gc_stats(std::string_view section);

}  // namespace tervik
