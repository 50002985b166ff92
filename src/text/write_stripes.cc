#include "src/text/write_stripes.h"

#include <algorithm>

namespace zv::text {

StripeLock::StripeLock(WriteStripes& stripes, NodeId id) : stripes_(&stripes) {
  held_.push_back(WriteStripes::stripe_of(id));
  stripes_->stripe(held_.front()).lock();
}

StripeLock::StripeLock(WriteStripes& stripes, std::span<const NodeId> ids) : stripes_(&stripes) {
  held_.reserve(ids.size());
  for (NodeId id : ids) held_.push_back(WriteStripes::stripe_of(id));
  std::sort(held_.begin(), held_.end());
  held_.erase(std::unique(held_.begin(), held_.end()), held_.end());
  for (size_t s : held_) stripes_->stripe(s).lock();
}

StripeLock::StripeLock(StripeLock&& other) noexcept
    : stripes_(other.stripes_), held_(std::move(other.held_)) {
  other.held_.clear();
}

StripeLock::~StripeLock() {
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) stripes_->stripe(*it).unlock();
}

}  // namespace zv::text
