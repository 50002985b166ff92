// The point read of one table: the filter first, then the data blocks that
// the block index names for the key, usually one.
#include "platform/panic.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/table/table.h"
#include "tervik/table/table_inner.h"

namespace tervik {

namespace {

constexpr const char* kFatalUnpinnedFilterTli = "not implemented: unpinned filter TLI not supported";

using Get = TervikResult<std::optional<InternalValue>>;

// The filter block that may rule the key out, or none when the table has no
// filter (or no partition can hold the key).
TervikResult<std::optional<Block>> filter_for(const TableInner& t, std::string_view key,
                                              SeqNo seqno) {
  using Out = std::optional<Block>;
  if (t.pinned_filter) return Out(*t.pinned_filter);
  if (t.pinned_filter_index) {
    ZV_ASSIGN_OR_RETURN(IndexBlockDecoder d, t.pinned_filter_index->decoder());
    ZV_ASSIGN_OR_RETURN(bool any, d.seek(key, seqno));
    if (!any) return Out();
    ZV_ASSIGN_OR_RETURN(std::optional<IndexBlockEntry> e, d.next());
    if (!e) return Out();
    ZV_ASSIGN_OR_RETURN(Block b, util::load_block(*t.ctx, e->handle, BlockType::kFilter,
                                                  CompressionType::kNone));
    return Out(std::move(b));
  }
  if (t.regions.filter_tli) zv::panic(kFatalUnpinnedFilterTli);
  if (t.regions.filter) {
    ZV_ASSIGN_OR_RETURN(Block b, util::load_block(*t.ctx, *t.regions.filter, BlockType::kFilter,
                                                  CompressionType::kNone));
    return Out(std::move(b));
  }
  return Out();
}

}  // namespace

Get Table::get(std::string_view key, SeqNo snapshot, uint64_t key_hash) const {
  const TableInner& t = *inner_;
  const SeqNo seqno = snapshot > t.global_seqno ? snapshot - t.global_seqno : 0;
  if (t.meta.seqno_min >= seqno) return std::optional<InternalValue>();

  ZV_ASSIGN_OR_RETURN(std::optional<Block> filter, filter_for(t, key, seqno));
  if (filter) {
    ZV_ASSIGN_OR_RETURN(bool may_contain, BloomFilter::contains_hash(filter->data.view(), key_hash));
    if (!may_contain) return std::optional<InternalValue>();
  }

  ZV_ASSIGN_OR_RETURN(std::optional<BlockIndexIter> reader, t.block_index.forward_reader(key, seqno));
  if (!reader) return std::optional<InternalValue>();
  for (;;) {
    ZV_ASSIGN_OR_RETURN(std::optional<IndexBlockEntry> entry, reader->next());
    if (!entry) return std::optional<InternalValue>();
    ZV_ASSIGN_OR_RETURN(Block block, util::load_block(*t.ctx, entry->handle, BlockType::kData,
                                                      t.meta.data_compression));
    ZV_ASSIGN_OR_RETURN(std::optional<InternalValue> hit, DataBlock(std::move(block)).point_read(key, seqno));
    if (hit) {
      hit->key.seqno += t.global_seqno;
      return hit;
    }
    // Versions of the key may go on in the next block only when this block
    // ends with the key (or before it).
    if (entry->end_key.compare(key) > 0) return std::optional<InternalValue>();
  }
}

}  // namespace tervik
