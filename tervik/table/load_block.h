// How a table's blocks are fetched on demand: through the tree's block cache
// first, then from the table file, reached through the tree's descriptor
// cache when it has one or else through the handle the table opened at
// recovery. Used by the block index, table iterators and point reads.
// A TableReadContext is immutable and shared; load_block is thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/file.h"
#include "tervik/block/block.h"
#include "tervik/cache/block_cache.h"
#include "tervik/config/descriptor_cache.h"
#include "tervik/core/error.h"

namespace tervik {

inline constexpr const char* kUtilLogTarget = "tervik::table::util";

// Everything a block load needs of its table.
struct TableReadContext {
  uint64_t tree_id = 0;
  uint64_t table_id = 0;
  std::string path;
  uint64_t file_length = 0;  // known from recovery; bounds every stored size
  std::shared_ptr<BlockCache> block_cache;
  // Set: reads go through this cache. Unset: through `own_file`.
  std::shared_ptr<FileDescriptorCache> descriptor_cache;
  std::shared_ptr<const zv::File> own_file;
};

// A handle to read the table file with; `fresh` when opened for this call
// (to be put into the descriptor cache once a read through it succeeded).
struct TableFileHandle {
  std::shared_ptr<const zv::File> file;
  bool fresh = false;
};
TervikResult<TableFileHandle> table_file_handle(const TableReadContext& ctx);
// Puts a fresh handle into the descriptor cache.
void keep_table_file_handle(const TableReadContext& ctx, const TableFileHandle& handle);

// The short-read error of reading `size` bytes at `offset` from a file of
// `file_length` bytes when they do not all lie inside it; success otherwise.
// Checked before a buffer of a stored size is allocated.
TervikStatus check_within_file(uint64_t offset, uint64_t size, uint64_t file_length);

namespace util {

// The block at `handle`: from the block cache (returned as cached), or read,
// checked to be of type `type` (else InvalidTag "BlockType"), cached and
// returned. A failed read keeps no fresh handle.
TervikResult<Block> load_block(const TableReadContext& ctx, BlockHandle handle, BlockType type,
                               CompressionType compression);

}  // namespace util
}  // namespace tervik
