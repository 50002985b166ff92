// A bounded cache of open read handles of table and blob files, shared by the
// trees of one database so that the number of open files stays bounded.
// Keyed by (tree id, file id, kind); the least recently used handle goes when
// the cache is full. Safe for concurrent use; a handle stays open while a
// reader holds it, even after eviction.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/file.h"

namespace tervik {

enum class FileKind : uint8_t {
  kTable = 0,
  kBlob = 1,
};

class FileDescriptorCache {
 public:
  static constexpr size_t kDefaultCapacity = 256;

  explicit FileDescriptorCache(size_t capacity) : capacity_(capacity) {}
  FileDescriptorCache(const FileDescriptorCache&) = delete;
  FileDescriptorCache& operator=(const FileDescriptorCache&) = delete;

  std::shared_ptr<const zv::File> get(uint64_t tree_id, uint64_t file_id, FileKind kind);
  // Inserts or replaces the handle; evicts the least recently used handles
  // beyond the capacity (with capacity 0 nothing is kept).
  void insert(uint64_t tree_id, uint64_t file_id, FileKind kind,
              std::shared_ptr<const zv::File> handle);
  void remove(uint64_t tree_id, uint64_t file_id, FileKind kind);

  size_t capacity() const { return capacity_; }
  size_t size() const;

 private:
  struct Key {
    uint64_t tree_id;
    uint64_t file_id;
    FileKind kind;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const;
  };
  struct Slot {
    std::shared_ptr<const zv::File> handle;
    std::list<Key>::iterator lru_pos;
  };

  const size_t capacity_;
  mutable std::mutex mu_;  // protects lru_ and slots_
  std::list<Key> lru_;     // most recently used first
  std::unordered_map<Key, Slot, KeyHash> slots_;
};

}  // namespace tervik
