#include "src/storage/posting_list.h"

#include <algorithm>

namespace zv {

void PostingList::link(uint32_t pos) {
  auto [it, inserted] = head_.try_emplace(ids_[pos], pos);
  next_[pos] = inserted ? kEnd : it->second;
  it->second = pos;
}

void PostingList::build_chains() {
  next_.assign(ids_.size(), kEnd);
  head_.clear();
  head_.reserve(ids_.size());
  for (uint32_t p = 0; p < ids_.size(); ++p) link(p);
}

void PostingList::add(NodeId id) {
  ids_.push_back(id);
  ++live_;
  if (chained()) {
    next_.push_back(kEnd);
    link(static_cast<uint32_t>(ids_.size() - 1));
  } else if (ids_.size() > kChainedAbove) {
    build_chains();
  }
}

void PostingList::remove(NodeId id) {
  if (!chained()) {
    const auto end = std::remove(ids_.begin(), ids_.end(), id);
    live_ -= static_cast<size_t>(ids_.end() - end);
    ids_.erase(end, ids_.end());
    return;
  }
  auto it = head_.find(id);
  if (it == head_.end()) return;
  for (uint32_t p = it->second; p != kEnd;) {
    const uint32_t n = next_[p];
    next_[p] = kVacant;
    --live_;
    p = n;
  }
  head_.erase(it);
  // Each compaction is paid for by the removals since the last one.
  if (ids_.size() - live_ > live_) compact();
}

void PostingList::compact() {
  size_t out = 0;
  for (size_t p = 0; p < ids_.size(); ++p)
    if (next_[p] != kVacant) ids_[out++] = ids_[p];
  ids_.resize(out);
  if (ids_.size() > kChainedAbove) {
    build_chains();
  } else {
    next_.clear();
    head_.clear();
  }
}

std::vector<NodeId> PostingList::ids() const {
  if (!chained()) return ids_;
  std::vector<NodeId> out;
  out.reserve(live_);
  for (size_t p = 0; p < ids_.size(); ++p)
    if (next_[p] != kVacant) out.push_back(ids_[p]);
  return out;
}

}  // namespace zv
