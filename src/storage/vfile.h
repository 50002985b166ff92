// VFile: one vector store segment, a memory-mapped file in the database's
// data directory or a zero-filled buffer in process memory. Append-only
// records (64-byte header, then the vector payload) at 64-byte aligned
// positions after a 64-byte "ZFLE" segment header. It is the vector index's
// DiskNodeReader. A VFile has no lock of its own: the engine keeps each
// segment behind a reader-writer lock (appends, header writes, growth and
// reopening under the write lock; reads under the read lock).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/file.h"
#include "platform/mmap.h"
#include "src/foundation/error.h"
#include "src/index/disk_node_reader.h"
#include "src/record/engine_node.h"
#include "src/storage/node_record_header.h"

namespace zv {

inline constexpr Magic kSegmentMagic = {'Z', 'F', 'L', 'E'};
inline constexpr uint16_t kSegmentVersion = 2;
// A writable tier file and an in-memory segment start with this many bytes.
inline constexpr uint64_t kDefaultSegmentBytes = 64ull << 20;

// The segment header's first 16 bytes.
struct VFileHeader {
  uint64_t created_at_ms = 0;
  uint32_t magic = 0;
  uint16_t version = 0;
  uint16_t flags = 0;
};

// Resident bytes of an address range in 4096-byte pages, or known = false.
struct ResidentBytes {
  bool known = false;
  uint64_t bytes = 0;
};
ResidentBytes range_resident_bytes(const void* addr, uint64_t len);

// A zero-filled heap buffer, released with free().
struct FreeDeleter {
  void operator()(uint8_t* p) const;
};
using ZeroedBuffer = std::unique_ptr<uint8_t[], FreeDeleter>;
ZolvaResult<ZeroedBuffer> alloc_zeroed(uint64_t size);

// Refuses a vector length or an edge count that the header cannot hold.
ZolvaStatus check_record_limits(NodeId id, uint64_t vector_len, uint64_t edge_count);

class VFile final : public DiskNodeReader {
 public:
  static ZolvaResult<VFile> open(const std::string& path, uint64_t initial_size, bool read_only);
  static VFile in_memory(uint64_t capacity);

  VFile(VFile&&) noexcept = default;
  VFile& operator=(VFile&&) noexcept = default;
  ~VFile() override = default;

  // Appends the node's record; returns its header position.
  ZolvaResult<uint64_t> append_node(const EngineNode& node);
  ZolvaStatus write_node_header(uint64_t position, const NodeRecordHeader& h);
  // The full header at a position: none unless the position is 64-aligned,
  // the header ends within the capacity and vector_offset's two low bits are
  // clear. Deleted records are returned.
  std::optional<NodeRecordHeader> node_header_at(uint64_t position) const;

  // DiskNodeReader.
  std::optional<DiskNodeHeader> disk_node_header_at(uint64_t position) const override;
  std::span<const uint8_t> bytes() const override { return {data_, capacity_}; }
  const MemoryMap* mapping() const override { return map_ ? map_.get() : nullptr; }
  // The mapping, shared, for vectors read in place; null in memory.
  const std::shared_ptr<MemoryMap>& shared_mapping() const { return map_; }

  ZolvaResult<std::span<uint8_t>> bytes_mut();
  ZolvaStatus grow_to(uint64_t new_size);
  ZolvaStatus reopen(uint64_t capacity);
  ZolvaStatus store_write_offset();
  ZolvaStatus remap();
  // Writes the mapped view and then the file to disk; nothing in memory.
  ZolvaStatus flush();

  VFileHeader header() const;
  uint64_t capacity() const { return capacity_; }
  uint64_t write_offset() const { return write_offset_; }
  void set_write_offset(uint64_t w) { write_offset_ = w; }
  bool read_only() const { return read_only_; }
  bool in_memory_backed() const { return static_cast<bool>(buffer_); }
  const std::string& path() const { return path_; }
  // Resident bytes of the whole segment.
  ResidentBytes resident() const { return range_resident_bytes(data_, capacity_); }

 private:
  VFile() = default;
  void write_fresh_header();
  void install_map(std::shared_ptr<MemoryMap> map);

  std::optional<File> file_;
  std::shared_ptr<MemoryMap> map_;  // file backing
  ZeroedBuffer buffer_;             // in-memory backing
  uint64_t buffer_len_ = 0;
  uint8_t* data_ = nullptr;
  std::string path_;
  uint64_t capacity_ = 0;
  uint64_t write_offset_ = kSegmentHeaderLen;
  bool read_only_ = false;
};

}  // namespace zv
