// Merges the entries of several blob files into one stream ordered by key
// ascending and, for equal keys, sequence number descending (newest first).
// Relocating compaction reads it. Owned and stepped by one task.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tervik/blob/blob_file_scanner.h"

namespace tervik {

struct BlobMergeEntry {
  BlobScanEntry entry;
  uint64_t blob_file_id = 0;
};

class BlobMergeScanner {
 public:
  explicit BlobMergeScanner(std::vector<BlobFileScanner> scanners);

  // The next entry in merge order, none at the end, or a scanner's error.
  TervikResult<std::optional<BlobMergeEntry>> next();

 private:
  struct Element {
    size_t scanner = 0;
    BlobMergeEntry item;
  };
  // Heap order: the smallest key, then the highest seqno, at the top.
  static bool after(const Element& a, const Element& b);
  // Reads scanner `index`'s next entry into the queue; nothing at its end.
  TervikStatus push_next(size_t index);

  std::vector<BlobFileScanner> scanners_;
  std::vector<Element> heap_;
};

}  // namespace tervik
