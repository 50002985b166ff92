// What the graph search needs of the vector store: a node's header by storage
// offset and the store's bytes, so that vectors are read in place and their
// pages prefetched. Implemented by the vector store; handed to a search by
// its caller. Implementations are read by one search at a time per call but
// must tolerate concurrent calls from several searches.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/mmap.h"

namespace zv {

struct DiskNodeHeader {
  uint64_t data_offset = 0;    // byte position of the node's vector in the store
  uint32_t element_count = 0;  // number of vector elements
  uint32_t flags = 0;          // bit 3: deleted; bits 10-13: vector encoding

  static constexpr uint32_t kDeletedFlag = 1u << 3;
  uint32_t encoding() const { return (flags >> 10) & 0xF; }
  bool deleted() const { return (flags & kDeletedFlag) != 0; }
  // Bytes of the stored vector by its encoding: 0 -> 0, 1 -> 4c, 2 -> 8c,
  // 3 -> c, 4 -> c + 4, any higher -> 4c.
  uint64_t vector_bytes() const;
};

class DiskNodeReader {
 public:
  virtual ~DiskNodeReader() = default;
  // The header of the node stored at `offset`, or none.
  virtual std::optional<DiskNodeHeader> disk_node_header_at(uint64_t offset) const = 0;
  // The store's bytes (the mapped file or an in-memory buffer).
  virtual std::span<const uint8_t> bytes() const = 0;
  // The mapping behind bytes(), when the store is mapped; prefetch requests
  // go to it. None for an in-memory store.
  virtual const MemoryMap* mapping() const { return nullptr; }
};

inline uint64_t DiskNodeHeader::vector_bytes() const {
  const uint64_t c = element_count;
  switch (encoding()) {
    case 0: return 0;
    case 1: return 4 * c;
    case 2: return 8 * c;
    case 3: return c;
    case 4: return c + 4;
    default: return 4 * c;
  }
}

}  // namespace zv
