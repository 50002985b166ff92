#include "tervik/block/index_block.h"

#include <vector>

#include "platform/coding.h"
#include "platform/panic.h"
#include "tervik/block/data_block.h"
#include "tervik/core/internal_value.h"

namespace tervik {

namespace {
constexpr uint8_t kIndexItemMarker = 0;
}  // namespace

TervikStatus IndexBlock::encode_into(std::string* out, std::span<const IndexBlockEntry> entries) {
  if (entries.empty()) zv::panic(kFatalEmptyChunk);
  const size_t base = out->size();
  std::vector<uint64_t> restarts;
  restarts.reserve(entries.size());
  for (const IndexBlockEntry& e : entries) {
    if (e.end_key.size() > kMaxUserKeyLength) {
      out->resize(base);
      return zv::make_unexpected(key_length_error(e.end_key.size()));
    }
    restarts.push_back(out->size() - base);
    zv::coding::put_u8(out, kIndexItemMarker);
    varint::write_u64(out, e.handle.offset);
    varint::write_u32(out, e.handle.size);
    varint::write_u64(out, e.seqno);
    varint::write_u16(out, static_cast<uint16_t>(e.end_key.size()));
    out->append(e.end_key.view());
    if (out->size() - base > kMaxBlockLength) break;  // refused below
  }
  return finish_block_payload(out, base, restarts, 1, nullptr, entries.size());
}

TervikResult<IndexBlockDecoder> IndexBlock::decoder() const {
  return IndexBlockDecoder::open(block_);
}

TervikResult<IndexBlockDecoder> IndexBlockDecoder::open(const Block& block) {
  ZV_ASSIGN_OR_RETURN(BlockCursor cursor, BlockCursor::open(block.data, BlockLayout::kIndex));
  return IndexBlockDecoder(std::move(cursor));
}

IndexBlockDecoder::Step IndexBlockDecoder::materialize(
    TervikResult<std::optional<BlockItem>> item) const {
  if (!item.ok()) return zv::make_unexpected(std::move(item).error());
  if (!*item) return std::optional<IndexBlockEntry>();
  const BlockItem& it = **item;
  return std::optional<IndexBlockEntry>(IndexBlockEntry{
      cursor_.key_of(it), it.seqno, BlockHandle{it.handle_offset, it.handle_size}});
}

IndexBlockDecoder::Step IndexBlockDecoder::next() { return materialize(cursor_.next()); }
IndexBlockDecoder::Step IndexBlockDecoder::next_back() {
  return materialize(cursor_.next_back());
}

TervikResult<bool> IndexBlockDecoder::seek(std::string_view key, SeqNo seqno) {
  return cursor_.seek_index(key, seqno);
}

TervikResult<bool> IndexBlockDecoder::seek_upper(std::string_view key) {
  return cursor_.seek_index_upper(key);
}

}  // namespace tervik
