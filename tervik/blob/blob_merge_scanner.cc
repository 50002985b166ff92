#include "tervik/blob/blob_merge_scanner.h"

#include <algorithm>

#include "platform/panic.h"

namespace tervik {

BlobMergeScanner::BlobMergeScanner(std::vector<BlobFileScanner> scanners)
    : scanners_(std::move(scanners)) {
  heap_.reserve(scanners_.size());
}

bool BlobMergeScanner::after(const Element& a, const Element& b) {
  const int c = a.item.entry.key.compare(b.item.entry.key);
  if (c != 0) return c > 0;
  if (a.item.entry.seqno != b.item.entry.seqno) return a.item.entry.seqno < b.item.entry.seqno;
  return a.scanner > b.scanner;
}

TervikStatus BlobMergeScanner::push_next(size_t index) {
  ZV_CHECK(index < scanners_.size(), "blob scanner index out of bounds");
  BlobFileScanner& scanner = scanners_[index];
  ZV_ASSIGN_OR_RETURN(auto entry, scanner.next());
  if (!entry) return {};
  heap_.push_back(Element{index, BlobMergeEntry{std::move(*entry), scanner.blob_file_id()}});
  std::push_heap(heap_.begin(), heap_.end(), after);
  return {};
}

TervikResult<std::optional<BlobMergeEntry>> BlobMergeScanner::next() {
  if (heap_.empty()) {
    for (size_t i = 0; i < scanners_.size(); ++i) ZV_TRY(push_next(i));
    if (heap_.empty()) return std::optional<BlobMergeEntry>();
  }
  std::pop_heap(heap_.begin(), heap_.end(), after);
  Element top = std::move(heap_.back());
  heap_.pop_back();
  ZV_TRY(push_next(top.scanner));
  return std::optional<BlobMergeEntry>(std::move(top.item));
}

}  // namespace tervik
