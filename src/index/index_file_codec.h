// The index file's writer and reader over the node table of an HnswIndex,
// which they reach as a friend. Internal to index_file.cc files; callers use
// the functions of index_file.h.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "src/index/hnsw_index.h"

namespace zv {

class IndexFileCodec {
 public:
  // Writes the file into `image`; with a file, flushes the image to it (from
  // `file_offset` on) each time it grows past the stream buffer and keeps
  // only the unwritten tail.
  static IoStatus write(const HnswIndex& index, std::string* image, FsFile* file,
                        uint64_t file_offset);
  // Slots in file order: breadth-first from the entry point (each node's
  // layers from the highest down), then the unreached in ascending id
  // order; only slots below `slots` that hold a record.
  static std::vector<uint32_t> bfs_slots(const HnswIndex& index, uint32_t slots);
  static IoResult<std::unique_ptr<HnswIndex>> read(std::span<const uint8_t> bytes,
                                                    IndexBacking backing);
};

}  // namespace zv
