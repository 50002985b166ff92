// Index blocks: one entry per data block (its last key and seqno and its
// handle), every item a full restart item, no hash index. Written by the index
// writers; read through IndexBlockDecoder by the block index iterators and the
// point read of a table. Blocks are immutable and shared; a decoder belongs to
// one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tervik/block/block.h"
#include "tervik/block/block_cursor.h"
#include "tervik/core/error.h"
#include "tervik/core/seqno.h"
#include "tervik/core/slice.h"

namespace tervik {

struct IndexBlockEntry {
  UserKey end_key;   // user key of the data block's last item
  SeqNo seqno = 0;   // seqno of that item
  BlockHandle handle;

  bool operator==(const IndexBlockEntry&) const = default;
};

class IndexBlock {
 public:
  explicit IndexBlock(Block block) : block_(std::move(block)) {}

  // Appends the payload of `entries` (non-empty, in file order) to `out`.
  // An end key over 65,535 bytes or a payload beyond the
  // u32 fields is an error.
  static TervikStatus encode_into(std::string* out, std::span<const IndexBlockEntry> entries);

  TervikResult<class IndexBlockDecoder> decoder() const;
  const Block& block() const { return block_; }

 private:
  Block block_;
};

// Double-ended iteration over an index block's entries (keys are views into
// the block), with the two seeks that bound a table walk.
class IndexBlockDecoder {
 public:
  using Step = TervikResult<std::optional<IndexBlockEntry>>;

  static TervikResult<IndexBlockDecoder> open(const Block& block);

  Step next();
  Step next_back();

  // Front at the first entry whose data block can hold a version of `key`
  // visible below `seqno` (key > k, or key == k and seqno < s). False when
  // none qualifies; the decoder then yields nothing from either end.
  TervikResult<bool> seek(std::string_view key, SeqNo seqno);
  // Back at the first entry whose end key is > `key`, or the last entry:
  // forward iteration stops after it. False only for an empty block.
  TervikResult<bool> seek_upper(std::string_view key);

 private:
  explicit IndexBlockDecoder(BlockCursor cursor) : cursor_(std::move(cursor)) {}
  Step materialize(TervikResult<std::optional<BlockItem>> item) const;

  BlockCursor cursor_;
};

}  // namespace tervik
