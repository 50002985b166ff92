// The handle of a vector read in place from a memory-mapped file: a shared
// reference that keeps the mapping alive, plus the region's start and byte
// length. Made by the vector store and the index-file loader; held inside a
// `VectorRepr` of the mapped form. Copies share the mapping (atomic count).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/mmap.h"

namespace zv {

class MappedVector {
 public:
  // A region of `len` bytes at `offset` inside `map`; none when the region
  // does not lie inside the mapping.
  static std::optional<MappedVector> in_map(std::shared_ptr<const MemoryMap> map,
                                            size_t offset, size_t len);
  // A region inside any shared owner of bytes (an in-memory store buffer, a
  // test buffer); `owner` keeps `data` alive.
  MappedVector(std::shared_ptr<const void> owner, const unsigned char* data,
               size_t len)
      : owner_(std::move(owner)), data_(data), len_(len) {}

  const unsigned char* data() const { return data_; }
  size_t byte_len() const { return len_; }

 private:
  std::shared_ptr<const void> owner_;
  const unsigned char* data_ = nullptr;
  size_t len_ = 0;
};

}  // namespace zv
