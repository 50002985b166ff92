#include "tervik/config/descriptor_cache.h"

namespace tervik {

size_t FileDescriptorCache::KeyHash::operator()(const Key& k) const {
  uint64_t h = k.tree_id * 0x9E3779B97F4A7C15ull;
  h ^= k.file_id + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
  h ^= static_cast<uint64_t>(k.kind) + (h << 6) + (h >> 2);
  return static_cast<size_t>(h);
}

std::shared_ptr<const zv::File> FileDescriptorCache::get(uint64_t tree_id, uint64_t file_id,
                                                         FileKind kind) {
  std::scoped_lock lock(mu_);
  auto it = slots_.find(Key{tree_id, file_id, kind});
  if (it == slots_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, it->second.lru_pos);
  return it->second.handle;
}

void FileDescriptorCache::insert(uint64_t tree_id, uint64_t file_id, FileKind kind,
                                 std::shared_ptr<const zv::File> handle) {
  if (capacity_ == 0 || handle == nullptr) return;
  const Key key{tree_id, file_id, kind};
  // Evicted handles are released after the lock: closing a file is a system call.
  std::shared_ptr<const zv::File> released;
  std::scoped_lock lock(mu_);
  auto it = slots_.find(key);
  if (it != slots_.end()) {
    released = std::exchange(it->second.handle, std::move(handle));
    lru_.splice(lru_.begin(), lru_, it->second.lru_pos);
    return;
  }
  if (slots_.size() >= capacity_) {
    const Key victim = lru_.back();
    released = std::move(slots_.find(victim)->second.handle);
    slots_.erase(victim);
    lru_.pop_back();
  }
  lru_.push_front(key);
  slots_.emplace(key, Slot{std::move(handle), lru_.begin()});
}

void FileDescriptorCache::remove(uint64_t tree_id, uint64_t file_id, FileKind kind) {
  std::shared_ptr<const zv::File> released;
  std::scoped_lock lock(mu_);
  auto it = slots_.find(Key{tree_id, file_id, kind});
  if (it == slots_.end()) return;
  released = std::move(it->second.handle);
  lru_.erase(it->second.lru_pos);
  slots_.erase(it);
}

size_t FileDescriptorCache::size() const {
  std::scoped_lock lock(mu_);
  return slots_.size();
}

}  // namespace tervik
