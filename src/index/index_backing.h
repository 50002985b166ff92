// Where a vector index's data lives: in memory only, in a file not mapped yet
// (path), or in a file mapped for reading and writing (path and mapping).
// Held by the index; read by many threads, replaced only with the index.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/mmap.h"

namespace zv {

class IndexBacking {
 public:
  enum class State : uint8_t { kInMemory, kUnmapped, kMapped };

  static IndexBacking in_memory() { return IndexBacking(); }
  static IndexBacking unmapped(std::string path);
  static IndexBacking mapped(std::string path, std::shared_ptr<MemoryMap> map);

  State state() const { return state_; }
  // True unless the backing is in memory (an unmapped file counts).
  bool is_file_backed() const { return state_ != State::kInMemory; }
  std::optional<std::string> path() const;
  const std::shared_ptr<MemoryMap>& mapping() const { return map_; }

  // Bytes of the backing file resident in memory: none in memory; for an
  // unmapped file the file is mapped for the measurement and released; none
  // when it cannot be opened or mapped.
  std::optional<uint64_t> mmap_resident_bytes() const;

 private:
  IndexBacking() = default;
  State state_ = State::kInMemory;
  std::string path_;
  std::shared_ptr<MemoryMap> map_;
};

// Resident bytes of a mapping's whole range (whole pages), or none when the
// operating system cannot tell.
std::optional<uint64_t> resident_bytes(const MemoryMap& map);

}  // namespace zv
