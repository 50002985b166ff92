#include "tervik/table/table.h"

#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "archive/src/reader.h"
#include "tervik/core/archive_error_conversion.h"
#include "tervik/table/table_inner.h"

namespace tervik {

namespace {

constexpr size_t kLinkedBlobFileRecordSize = 32;

TervikResult<Block> read_typed_block(const zv::File& file, BlockHandle handle,
                                     CompressionType compression, BlockType type) {
  ZV_ASSIGN_OR_RETURN(Block block, Block::from_file(file, handle, compression));
  if (block.header.block_type != type) {
    return zv::make_unexpected(
        TervikError::invalid_tag(kBlockTypeTagName, static_cast<uint8_t>(block.header.block_type)));
  }
  return block;
}

// The stored list: u32 count, then per record blob_file_id, len, bytes,
// on_disk_bytes (u64 each). Bytes after the last record are ignored.
TervikResult<std::vector<LinkedBlobFile>> parse_linked_blob_files(std::string_view raw) {
  if (raw.size() < 4) return zv::make_unexpected(TervikError::short_read());
  const uint32_t count = zv::coding::get_u32_le(raw.data());
  raw.remove_prefix(4);
  // Checked before reserving: a damaged count cannot claim more than is there.
  if (count > raw.size() / kLinkedBlobFileRecordSize) return zv::make_unexpected(TervikError::short_read());
  std::vector<LinkedBlobFile> out;
  out.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const char* p = raw.data() + size_t{i} * kLinkedBlobFileRecordSize;
    LinkedBlobFile f;
    f.blob_file_id = zv::coding::get_u64_le(p);
    f.len = zv::coding::get_u64_le(p + 8);
    f.bytes = zv::coding::get_u64_le(p + 16);
    f.on_disk_bytes = zv::coding::get_u64_le(p + 24);
    out.push_back(f);
  }
  return out;
}

}  // namespace

std::string GlobalTableId::debug_string() const {
  return "GlobalTableId(" + std::to_string(tree_id) + ", " + std::to_string(table_id) + ")";
}

TableInner::~TableInner() {
  if (!deleted.load(std::memory_order_acquire)) return;
  const std::string id = GlobalTableId{ctx->tree_id, ctx->table_id}.debug_string();
  ZV_LOG(zv::log::Level::kTrace, kInnerLogTarget, "Cleanup deleted table " + id + " at " + ctx->path);
  if (auto st = zv::fs::remove_file(ctx->path); !st.ok()) {
    ZV_WARN(kInnerLogTarget, "Failed to cleanup deleted table " + id + " at " + ctx->path + ": " +
                                 st.error().to_string());
  }
  if (ctx->descriptor_cache) {
    ctx->descriptor_cache->remove(ctx->tree_id, ctx->table_id, FileKind::kTable);
  }
}

TervikResult<Table> Table::recover(std::string path, Checksum checksum, SeqNo global_seqno,
                                   uint64_t tree_id, std::shared_ptr<BlockCache> block_cache,
                                   std::shared_ptr<FileDescriptorCache> descriptor_cache,
                                   bool pin_filter, bool pin_index) {
  ZV_CHECK(block_cache != nullptr, "a table needs a block cache");
  ZV_LOG(zv::log::Level::kDebug, kTableLogTarget, "Recovering table from file " + path);
  ZV_ASSIGN_OR_RETURN(zv::File file, zv::File::open_read(path));
  ZV_ASSIGN_OR_RETURN(const uint64_t file_length, file.size());
  ZV_ASSIGN_OR_RETURN(zv::archive::Toc toc,
                      from_archive_result(zv::archive::ArchiveReader::open(path)));
  ZV_ASSIGN_OR_RETURN(TableRegions regions, TableRegions::from_toc(toc));

  ZV_LOG(zv::log::Level::kTrace, kTableLogTarget,
         "Reading meta block, with meta_ptr=" + regions.meta.debug_string());
  ZV_TRY(check_within_file(regions.meta.offset, regions.meta.size, file_length));
  ZV_ASSIGN_OR_RETURN(Block meta_block,
                      Block::from_file(file, regions.meta, CompressionType::kNone));
  ZV_ASSIGN_OR_RETURN(TableMeta meta, parse_table_meta(meta_block));
  const CompressionType index_compression = meta.index_compression;

  auto shared_file = std::make_shared<const zv::File>(std::move(file));
  auto ctx = std::make_shared<TableReadContext>();
  ctx->tree_id = tree_id;
  ctx->table_id = meta.id;
  ctx->path = path;
  ctx->file_length = file_length;
  ctx->block_cache = std::move(block_cache);
  ctx->descriptor_cache = descriptor_cache;
  // With a descriptor cache the recovery handle closes when recovery ends.
  if (!descriptor_cache) ctx->own_file = shared_file;
  std::shared_ptr<const TableReadContext> shared_ctx = ctx;

  IndexBlockFetch fetch = [shared_ctx, index_compression](const BlockHandle& h) {
    return util::load_block(*shared_ctx, h, BlockType::kIndex, index_compression);
  };
  auto read_tli = [&]() -> TervikResult<Block> {
    ZV_LOG(zv::log::Level::kTrace, kTableLogTarget,
           "Reading TLI block, with tli_ptr=" + regions.tli.debug_string());
    ZV_TRY(check_within_file(regions.tli.offset, regions.tli.size, file_length));
    return read_typed_block(*shared_file, regions.tli, index_compression, BlockType::kIndex);
  };
  std::optional<BlockIndex> index;
  if (regions.index) {
    ZV_LOG(zv::log::Level::kTrace, kTableLogTarget,
           "Creating partitioned block index, with tli_ptr=" + regions.tli.debug_string());
    ZV_ASSIGN_OR_RETURN(Block tli, read_tli());
    index.emplace(BlockIndex::two_level(IndexBlock(std::move(tli)), std::move(fetch)));
  } else if (pin_index) {
    ZV_LOG(zv::log::Level::kTrace, kTableLogTarget,
           "Creating pinned, full block index, with tli_ptr=" + regions.tli.debug_string());
    ZV_ASSIGN_OR_RETURN(Block tli, read_tli());
    index.emplace(BlockIndex::full_pinned(IndexBlock(std::move(tli))));
  } else {
    ZV_LOG(zv::log::Level::kTrace, kTableLogTarget, "Creating volatile, full block index");
    index.emplace(BlockIndex::full_volatile(regions.tli, std::move(fetch)));
  }

  auto inner = std::make_shared<TableInner>(shared_ctx, regions, std::move(meta), std::move(*index));
  inner->checksum = checksum;
  inner->global_seqno = global_seqno;
  if (regions.filter_tli) {
    const BlockHandle h = *regions.filter_tli;
    ZV_TRY(check_within_file(h.offset, h.size, file_length));
    ZV_ASSIGN_OR_RETURN(Block b, Block::from_file(*shared_file, h, index_compression));
    inner->pinned_filter_index.emplace(std::move(b));
  } else if (pin_filter && regions.filter) {
    const BlockHandle h = *regions.filter;
    ZV_LOG(zv::log::Level::kDebug, kTableLogTarget,
           "Loading and pinning filter block, with filter_ptr=" + h.debug_string());
    ZV_TRY(check_within_file(h.offset, h.size, file_length));
    ZV_ASSIGN_OR_RETURN(Block b,
                        read_typed_block(*shared_file, h, CompressionType::kNone, BlockType::kFilter));
    inner->pinned_filter.emplace(std::move(b));
  }
  ZV_LOG(zv::log::Level::kDebug, kTableLogTarget,
         "Recovered table #" + std::to_string(inner->meta.id) + " from " + path);
  return Table(std::move(inner));
}

TableIter Table::range(Bound lower, Bound upper) const {
  return TableIter(inner_, std::move(lower), std::move(upper));
}

TervikResult<TableScanner> Table::scan() const {
  return TableScanner::create(inner_->ctx->path, inner_->meta.data_block_count,
                              inner_->meta.data_compression, inner_->global_seqno);
}

TervikResult<std::optional<std::vector<LinkedBlobFile>>> Table::linked_blob_files() const {
  using Out = std::optional<std::vector<LinkedBlobFile>>;
  if (!inner_->regions.linked_blob_files) return Out();
  const TableReadContext& ctx = *inner_->ctx;
  const BlockHandle h = *inner_->regions.linked_blob_files;
  // A region reaching past the end would fail the exact read below: fail the
  // same way before a buffer of its stored length exists.
  if (!check_within_file(h.offset, h.size, ctx.file_length).ok()) {
    return zv::make_unexpected(TervikError::short_read());
  }
  ZV_ASSIGN_OR_RETURN(TableFileHandle fh, table_file_handle(ctx));
  std::string raw(h.size, '\0');
  ZV_TRY(fh.file->read_exact_at(raw.data(), raw.size(), h.offset));
  keep_table_file_handle(ctx, fh);
  ZV_ASSIGN_OR_RETURN(std::vector<LinkedBlobFile> files, parse_linked_blob_files(raw));
  return Out(std::move(files));
}

TervikResult<uint64_t> Table::linked_blob_bytes() const {
  if (inner_->linked_blob_bytes_known.load(std::memory_order_acquire)) {
    return inner_->linked_blob_bytes.load(std::memory_order_relaxed);
  }
  ZV_ASSIGN_OR_RETURN(auto files, linked_blob_files());
  uint64_t sum = 0;
  if (files) {
    for (const auto& f : *files) sum += f.on_disk_bytes;
  }
  inner_->linked_blob_bytes.store(sum, std::memory_order_relaxed);
  inner_->linked_blob_bytes_known.store(true, std::memory_order_release);
  return sum;
}

uint64_t Table::id() const { return inner_->meta.id; }
uint64_t Table::tree_id() const { return inner_->ctx->tree_id; }
GlobalTableId Table::global_id() const { return {inner_->ctx->tree_id, inner_->meta.id}; }
const std::string& Table::path() const { return inner_->ctx->path; }
const Checksum& Table::checksum() const { return inner_->checksum; }
SeqNo Table::global_seqno() const { return inner_->global_seqno; }
const TableMeta& Table::meta() const { return inner_->meta; }
const TableRegions& Table::regions() const { return inner_->regions; }
BlockIndex::Kind Table::index_kind() const { return inner_->block_index.kind(); }
bool Table::has_pinned_filter() const { return inner_->pinned_filter.has_value(); }
bool Table::has_pinned_filter_index() const { return inner_->pinned_filter_index.has_value(); }
SeqNo Table::highest_seqno() const { return inner_->meta.seqno_max + inner_->global_seqno; }
void Table::mark_as_deleted() const { inner_->deleted.store(true, std::memory_order_release); }
bool Table::is_deleted() const { return inner_->deleted.load(std::memory_order_acquire); }

}  // namespace tervik
