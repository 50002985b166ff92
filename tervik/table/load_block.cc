#include "tervik/table/load_block.h"

#include "platform/log.h"

namespace tervik {

TervikResult<TableFileHandle> table_file_handle(const TableReadContext& ctx) {
  if (!ctx.descriptor_cache) return TableFileHandle{ctx.own_file, false};
  if (auto cached = ctx.descriptor_cache->get(ctx.tree_id, ctx.table_id, FileKind::kTable)) {
    return TableFileHandle{std::move(cached), false};
  }
  ZV_ASSIGN_OR_RETURN(zv::File f, zv::File::open_read(ctx.path));
  return TableFileHandle{std::make_shared<const zv::File>(std::move(f)), true};
}

void keep_table_file_handle(const TableReadContext& ctx, const TableFileHandle& handle) {
  if (handle.fresh && ctx.descriptor_cache) {
    ctx.descriptor_cache->insert(ctx.tree_id, ctx.table_id, FileKind::kTable, handle.file);
  }
}

TervikStatus check_within_file(uint64_t offset, uint64_t size, uint64_t file_length) {
  if (offset <= file_length && file_length - offset >= size) return {};
  // The error the read itself would have met at the end of the file.
  const uint64_t got = offset > file_length ? 0 : file_length - offset;
  return zv::make_unexpected(TervikError::io(zv::IoError(
      zv::IoErrorKind::kUnexpectedEof,
      "read_exact(" + std::to_string(got) + ") at " + std::to_string(offset) +
          " did not read enough bytes " + std::to_string(size) + "; file has length " +
          std::to_string(file_length))));
}

namespace util {

TervikResult<Block> load_block(const TableReadContext& ctx, BlockHandle handle, BlockType type,
                               CompressionType compression) {
  ZV_LOG(zv::log::Level::kTrace, kUtilLogTarget,
         "load " + std::string(block_type_name(type)) + " block " + handle.debug_string());
  if (auto hit = ctx.block_cache->get_block(ctx.tree_id, ctx.table_id, handle.offset)) {
    return std::move(*hit);
  }
  ZV_TRY(check_within_file(handle.offset, handle.size, ctx.file_length));
  ZV_ASSIGN_OR_RETURN(TableFileHandle fh, table_file_handle(ctx));
  ZV_ASSIGN_OR_RETURN(Block block, Block::from_file(*fh.file, handle, compression));
  if (block.header.block_type != type) {
    return zv::make_unexpected(
        TervikError::invalid_tag(kBlockTypeTagName, static_cast<uint8_t>(block.header.block_type)));
  }
  keep_table_file_handle(ctx, fh);
  ctx.block_cache->insert_block(ctx.tree_id, ctx.table_id, handle.offset, block);
  return block;
}

}  // namespace util
}  // namespace tervik
